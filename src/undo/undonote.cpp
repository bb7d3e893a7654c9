#include "undonote.h"

#include <QApplication>
#include <QKeyEvent>
#include <QToolTip>
#include <QWidget>

// Long enough to read, short enough to be gone before the next image.
static constexpr int noteMilliseconds = 2000;
// A held hint stays until it is let go; the tooltip's own clock must not end it.
static constexpr int heldMilliseconds = 24 * 60 * 60 * 1000;

UndoNote *UndoNote::of(QWidget *anchor)
{
    auto *note = anchor->findChild<UndoNote *>(QString(), Qt::FindDirectChildrenOnly);
    return note ? note : new UndoNote(anchor);
}

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

void UndoNote::hold(const QString &hint)
{
    if (hint == held)
        return;
    held = hint;
    if (!text.isEmpty())
        return;
    if (held.isEmpty() && standing.isEmpty())
        QToolTip::hideText();
    else
        showQueued();
}

void UndoNote::stand(const QString &said)
{
    if (said == standing)
        return;
    standing = said;
    if (!text.isEmpty() || !held.isEmpty())
        return;
    if (standing.isEmpty())
        QToolTip::hideText();
    else
        showQueued();
}

void UndoNote::end()
{
    if (text.isEmpty())
        return;
    text.clear();
    expiry.stop();
    if (held.isEmpty() && standing.isEmpty())
        QToolTip::hideText();
    else
        showQueued();
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
        showNow();
    });
}

void UndoNote::showNow()
{
    const qint64 left = text.isEmpty() ? 0 : deadline.remainingTime();
    const QString shown = left > 0 ? text : !held.isEmpty() ? held : standing;
    if (shown.isEmpty() || !anchor || !anchor->isVisible())
        return;
    if (!inSight(shown)) {
        if (QToolTip::isVisible() && QToolTip::text() == shown)
            QToolTip::hideText();
        return;
    }
    QToolTip::showText(anchor->mapToGlobal(QPoint(0, 0)), shown, anchor, QRect(),
                       left > 0 ? int(left) : heldMilliseconds);
}

// Beside the anchor while its window is the active one, or while the active
// window stands clear of the place where the tooltip would show.
bool UndoNote::inSight(const QString &shown) const
{
    const QWidget *active = QApplication::activeWindow();
    if (!active || active == anchor->window())
        return true;
    const QFontMetrics metrics(QToolTip::font());
    const QRect tip(anchor->mapToGlobal(QPoint(0, 0)),
                    metrics.size(0, shown) + QSize(24, 24));
    return !active->frameGeometry().intersects(tip);
}

bool UndoNote::eventFilter(QObject *watched, QEvent *event)
{
    if (text.isEmpty() && held.isEmpty() && standing.isEmpty())
        return QObject::eventFilter(watched, event);
    // Another window of the program came to the front, or went: whether the
    // note is in sight may have changed.
    if (event->type() == QEvent::WindowActivate && watched->isWidgetType()
        && static_cast<QWidget *>(watched)->isWindow()) {
        showQueued();
        return QObject::eventFilter(watched, event);
    }
    // The tooltip closes itself too when the pointer leaves a control or a
    // button is pressed; the note stays all the same.
    if (event->type() == QEvent::Leave || event->type() == QEvent::MouseButtonRelease) {
        showQueued();
        return QObject::eventFilter(watched, event);
    }
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
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
