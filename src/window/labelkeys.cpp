#include "labelkeys.h"

#include <QKeyEvent>
#include <QWidget>

namespace {

// Held with a key, not keys of their own: they must not break a sequence.
bool isModifierOrLock(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        return true;
    default:
        return false;
    }
}

} // namespace

LabelKeys::LabelKeys(QWidget *window)
    : QObject(window)
{
    watch(window);
}

void LabelKeys::watch(QWidget *window)
{
    window->installEventFilter(this);
    const QList<QWidget *> controls = window->findChildren<QWidget *>();
    for (QWidget *control : controls) {
        // Menus open as windows of their own and keep their keys.
        if (control->window() == window)
            control->installEventFilter(this);
    }
}

void LabelKeys::bind(const QList<QKeySequence> &keys, const std::function<void()> &reaction)
{
    for (const QKeySequence &sequence : keys)
        bindings.append({sequence, reaction});
}

// The sequence typed so far with this stroke. A letter key is the same with
// and without Caps Lock; with Shift, Ctrl or Alt it is another stroke. Enter
// comes from the keypad and carries its modifier.
QKeySequence LabelKeys::typedWith(const QKeyEvent *event) const
{
    const QKeyCombination stroke(event->modifiers() & ~Qt::KeypadModifier,
                                 Qt::Key(event->key()));
    return pending.isEmpty() ? QKeySequence(stroke) : QKeySequence(pending[0], stroke);
}

QKeySequence::SequenceMatch LabelKeys::match(const QKeySequence &typed,
                                             const Binding **exact) const
{
    QKeySequence::SequenceMatch found = QKeySequence::NoMatch;
    for (const Binding &binding : bindings) {
        // The typed strokes match a binding partly while they begin it.
        const QKeySequence::SequenceMatch result = typed.matches(binding.keys);
        if (result == QKeySequence::ExactMatch) {
            *exact = &binding;
            return result;
        }
        if (result == QKeySequence::PartialMatch)
            found = result;
    }
    return found;
}

bool LabelKeys::eventFilter(QObject *watched, QEvent *event)
{
    const bool claiming = event->type() == QEvent::ShortcutOverride;
    if (!claiming && event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto *keyEvent = static_cast<QKeyEvent *>(event);
    if (isModifierOrLock(keyEvent->key()))
        return false;

    const QKeySequence typed = typedWith(keyEvent);
    const Binding *exact = nullptr;
    const QKeySequence::SequenceMatch found = match(typed, &exact);
    const bool ours = found != QKeySequence::NoMatch || !pending.isEmpty();

    // Claimed before the shortcuts are asked, the key comes back as a key
    // press to the control with the focus, and is handled below.
    if (claiming) {
        if (ours)
            event->accept();
        return ours;
    }

    const QKeySequence wasPending = pending;
    pending = found == QKeySequence::PartialMatch ? typed : QKeySequence();
    if (pending != wasPending)
        emit pendingChanged(pending);
    if (exact) {
        // The reaction may open a modal box whose own loop delivers more keys.
        const std::function<void()> reaction = exact->reaction;
        reaction();
    }
    return ours;
}
