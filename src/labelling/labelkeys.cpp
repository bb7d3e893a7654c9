#include "labelkeys.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QThread>
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

void LabelKeys::watch(QWidget *window, const QList<QKeySequence> &leftToControls)
{
    if (!leftToControls.isEmpty())
        this->leftToControls.insert(window, leftToControls);
    window->installEventFilter(this);
    const QList<QWidget *> controls = window->findChildren<QWidget *>();
    for (QWidget *control : controls) {
        // Menus open as windows of their own and keep their keys.
        if (control->window() != window)
            continue;
        control->installEventFilter(this);
        // Only a text field may take text: elsewhere an input method would
        // turn the letters of a code into composed text before they arrived
        // as keys.
        if (!qobject_cast<QLineEdit *>(control))
            control->setAttribute(Qt::WA_InputMethodEnabled, false);
    }
}

QList<QKeySequence> LabelKeys::continuations() const
{
    QList<QKeySequence> found;
    if (pending.isEmpty())
        return found;
    for (const Binding &binding : bindings) {
        if (binding.keys.count() == 2 && binding.keys[0] == pending[0])
            found.append(binding.keys);
    }
    return found;
}

void LabelKeys::bind(const QList<QKeySequence> &keys, const std::function<void()> &reaction)
{
    for (const QKeySequence &sequence : keys)
        bindings.append({sequence, reaction});
}

// The sequence typed so far with this stroke. A letter key is the same with
// and without Caps Lock; with Shift, Ctrl or Alt it is another stroke. Enter
// comes from the keypad and carries its modifier. After a waiting first
// stroke that it does not continue, the stroke stands alone.
LabelKeys::Stroke LabelKeys::strokeOf(const QKeyEvent *event) const
{
    const QKeyCombination key(event->modifiers() & ~Qt::KeypadModifier, Qt::Key(event->key()));
    Stroke stroke;
    if (!pending.isEmpty()) {
        stroke.typed = QKeySequence(pending[0], key);
        stroke.found = match(stroke.typed, &stroke.exact);
        if (stroke.found != QKeySequence::NoMatch)
            return stroke;
    }
    stroke.typed = QKeySequence(key);
    stroke.found = match(stroke.typed, &stroke.exact);
    return stroke;
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

void LabelKeys::dropPending()
{
    setPending(QKeySequence());
}

void LabelKeys::setPending(const QKeySequence &typed)
{
    if (typed == pending)
        return;
    pending = typed;
    emit pendingChanged(pending);
}

bool LabelKeys::eventFilter(QObject *watched, QEvent *event)
{
    const bool claiming = event->type() == QEvent::ShortcutOverride;
    if (!claiming && event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto *keyEvent = static_cast<QKeyEvent *>(event);
    if (isModifierOrLock(keyEvent->key()))
        return false;

    if (askingTextField)
        return false;

    const Stroke stroke = strokeOf(keyEvent);
    const bool ours =
        stroke.found != QKeySequence::NoMatch && !leftToControl(watched, keyEvent, stroke);

    // Claimed before the shortcuts are asked, the key comes back as a key
    // press to the control with the focus, and is handled below. A key that
    // is not ours goes on to that control, which may pass it to its parent:
    // by then no stroke waits, and it stays not ours.
    if (claiming) {
        if (ours)
            event->accept();
        return ours;
    }

    setPending(ours && stroke.found == QKeySequence::PartialMatch ? stroke.typed : QKeySequence());
    if (ours && stroke.exact) {
        // The reaction may open a modal box whose own loop delivers more keys.
        const std::function<void()> reaction = stroke.exact->reaction;
        const auto *control = qobject_cast<QWidget *>(watched);
        const QScopedValueRollback<QWidget *> typedWindow(typing,
                                                          control ? control->window() : nullptr);
        const QScopedValueRollback<int> typedLevel(typingLevel,
                                                   QThread::currentThread()->loopLevel());
        reaction();
    }
    return ours;
}

QWidget *LabelKeys::typedIn() const
{
    return typingLevel == QThread::currentThread()->loopLevel() ? typing : nullptr;
}

void LabelKeys::showNotesWith(QWidget *window, const std::function<void(const QString &)> &show)
{
    noteShowers.insert(window, show);
    connect(window, &QObject::destroyed, this,
            [this, window] { noteShowers.remove(window); });
}

void LabelKeys::showNote(QWidget *window, const QString &text) const
{
    const auto first = noteShowers.constFind(static_cast<const QWidget *>(parent()));
    if (first != noteShowers.cend())
        (*first)(text);
    const auto own = noteShowers.constFind(window);
    if (own != noteShowers.cend() && own != first)
        (*own)(text);
}

// A single key that the window keeps for its controls, or a key that the
// text field with the focus uses: the field says so itself, as it does to
// the shortcuts, when it is asked whether it wants the key.
bool LabelKeys::leftToControl(QObject *watched, const QKeyEvent *event, const Stroke &stroke)
{
    auto *control = qobject_cast<QWidget *>(watched);
    if (!control)
        return false;
    if (stroke.typed.count() == 1) {
        const QList<QKeySequence> kept = leftToControls.value(control->window());
        if (kept.contains(stroke.typed))
            return true;
    }
    auto *field = qobject_cast<QLineEdit *>(control);
    if (!field)
        return false;
    QKeyEvent asked(QEvent::ShortcutOverride, event->key(), event->modifiers(), event->text(),
                    event->isAutoRepeat(), ushort(event->count()));
    asked.ignore();
    askingTextField = true;
    QCoreApplication::sendEvent(field, &asked);
    askingTextField = false;
    return asked.isAccepted();
}
