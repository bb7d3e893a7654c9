#include "undonote.h"

#include <QApplication>
#include <QKeyEvent>
#include <QToolTip>
#include <QWidget>

// As long as a waiting letter of a code is shown.
static constexpr int noteMilliseconds = 2000;

UndoNote::UndoNote(QWidget *anchor)
    : QObject(anchor)
    , anchor(anchor)
{
    expiry.setSingleShot(true);
    connect(&expiry, &QTimer::timeout, this, &UndoNote::end);
    qApp->installEventFilter(this);
}

void UndoNote::show(const QString &note)
{
    text = note;
    deadline.setRemainingTime(noteMilliseconds);
    expiry.start(noteMilliseconds);
    showQueued();
}

void UndoNote::end()
{
    if (text.isEmpty())
        return;
    text.clear();
    expiry.stop();
    QToolTip::hideText();
}

// Shown from the event loop, once the tooltip's own reaction to the key that
// is being delivered has run.
void UndoNote::showQueued()
{
    if (queued)
        return;
    queued = true;
    QTimer::singleShot(0, this, [this] {
        queued = false;
        const qint64 left = deadline.remainingTime();
        if (text.isEmpty() || left <= 0 || !anchor || !anchor->isVisible())
            return;
        QToolTip::showText(anchor->mapToGlobal(QPoint(0, 0)), text, anchor, QRect(), int(left));
    });
}

bool UndoNote::eventFilter(QObject *watched, QEvent *event)
{
    if (text.isEmpty() || (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease))
        return QObject::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->isAutoRepeat())
        return QObject::eventFilter(watched, event);
    switch (key->key()) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_Meta:
        if (event->type() == QEvent::KeyRelease)
            showQueued();
        break;
    default:
        if (event->type() == QEvent::KeyPress)
            end();
        else
            showQueued();
    }
    return QObject::eventFilter(watched, event);
}
