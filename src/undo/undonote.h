#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QWidget;

// Says for two seconds, as a tooltip beside `anchor`, what a step back or
// forth did. A tooltip closes itself at every key press or release, so it is
// shown again after each release of the keys that made it; a key pressed
// after them ends the note, which leaves the place to what that key shows.
class UndoNote final : public QObject
{
    Q_OBJECT

public:
    explicit UndoNote(QWidget *anchor);

    void show(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void end();
    void showQueued();

    QPointer<QWidget> anchor;
    QString text; // empty while no note is shown
    QDeadlineTimer deadline;
    QTimer expiry;
    bool queued = false;
};
