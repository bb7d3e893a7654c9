#include "pendingkeytip.h"

#include "keynames.h"
#include "labelkeys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QToolTip>
#include <QWidget>

PendingKeyTip::PendingKeyTip(LabelKeys *keys, QWidget *anchor)
    : QObject(anchor)
    , keys(keys)
    , anchor(anchor)
{
    connect(keys, &LabelKeys::pendingChanged, this, &PendingKeyTip::follow);
    qApp->installEventFilter(this);
}

void PendingKeyTip::follow(const QKeySequence &typed)
{
    if (typed.isEmpty()) {
        const bool shown = !text.isEmpty();
        text.clear();
        if (shown)
            QToolTip::hideText();
        return;
    }
    text = KeyNames::waiting(keys->continuations());
    show();
}

// Shown from the event loop, once the tooltip's own reaction to the key that
// is being delivered has run.
void PendingKeyTip::show()
{
    if (showQueued)
        return;
    showQueued = true;
    QTimer::singleShot(0, this, [this] {
        showQueued = false;
        if (text.isEmpty() || !anchor || !anchor->isVisible())
            return;
        QToolTip::showText(anchor->mapToGlobal(QPoint(0, 0)), text, anchor);
    });
}

bool PendingKeyTip::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyRelease && !text.isEmpty()
        && !static_cast<QKeyEvent *>(event)->isAutoRepeat())
        show();
    return QObject::eventFilter(watched, event);
}
