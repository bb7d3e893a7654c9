#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QWidget;

// The note beside the label buttons: a tooltip beside `anchor` that says for
// two seconds what a step back or forth did, or what a key's operation only
// had to inform of (the end of the list...), and otherwise holds a hint (the
// first letter of a code waiting for its second) for as long as it is held.
// A tooltip closes itself at every key press or release, so it is shown
// again after each release of the keys that made it; a key pressed after
// them ends a note, which leaves the place to what that key shows. It shows
// only where nothing of the program covers it: while another window of the
// program is in front of the anchor (a maximised inspection view), that
// window shows what it has to show itself, and no note floats over it.
class UndoNote final : public QObject
{
    Q_OBJECT

public:
    // The one note beside `anchor`, made the first time.
    static UndoNote *of(QWidget *anchor);

    explicit UndoNote(QWidget *anchor);

    void show(const QString &text);
    // Shown whenever no note is, until held again with an empty text.
    void hold(const QString &hint);
    // What stays said about the shown image (why it was sent back): shown
    // whenever neither a note nor a hint is, until stood again empty.
    void stand(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void end();
    void showQueued();
    void showNow();
    bool inSight(const QString &shown) const;

    QPointer<QWidget> anchor;
    QString text; // empty while no note is shown
    QString held; // empty while no hint is held
    QString standing; // empty while nothing stays said
    QDeadlineTimer deadline;
    QTimer expiry;
    bool queued = false;
};
