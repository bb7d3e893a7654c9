#pragma once

#include <QKeySequence>
#include <QObject>
#include <QPointer>
#include <QString>

class LabelKeys;
class QWidget;

// Shows the first letter of a code while it waits for its second, with the
// codes it can still complete, as a tooltip ("R… RB RO") beside `anchor`, and hides it once nothing waits. A tooltip
// closes itself at every key press or release, the release of the letter
// itself included, so it is shown again after each.
class PendingKeyTip final : public QObject
{
    Q_OBJECT

public:
    PendingKeyTip(LabelKeys *keys, QWidget *anchor);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void follow(const QKeySequence &typed);
    void show();

    const LabelKeys *keys;
    QPointer<QWidget> anchor;
    QString text; // empty while nothing waits
    bool showQueued = false;
};
