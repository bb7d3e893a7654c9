#pragma once

#include <QHash>
#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QKeyEvent;
class QWidget;

// The keys of one window: sequences of one or two key strokes, each with its
// reaction. It watches the window and every control in it, so a key works
// whichever of them has the focus, and it claims its keys before any control
// or shortcut can take them. A first stroke waits for its second as long as
// the person needs: no clock drops it, only a stroke that completes no
// sequence (Esc among them), which then counts on its own, as if nothing had
// waited, so that a stray letter never costs the key typed after it, or
// dropPending().
class LabelKeys final : public QObject
{
    Q_OBJECT

public:
    // Watches `window` and the controls it holds now.
    explicit LabelKeys(QWidget *window);

    // Watches one more window and its controls with the same keys, so that
    // they work there exactly as in the first, except the single keys in
    // `leftToControls`, which stay with that window's own controls. In a
    // text field the keys it uses for typing and editing stay its own.
    void watch(QWidget *window, const QList<QKeySequence> &leftToControls = {});

    void bind(const QList<QKeySequence> &keys, const std::function<void()> &reaction);

    // The sequences that the waiting first stroke can still complete, in
    // the order they were bound; empty while nothing waits.
    QList<QKeySequence> continuations() const;

    // Forgets the waiting first stroke, as when the window moves to another
    // image: a letter typed for one image never completes a code on the next.
    void dropPending();

    // The window the key whose reaction runs now was typed in; null outside
    // a key's reaction, and within a box or dialog the reaction opened, so
    // that what happens there counts as started by no key.
    QWidget *typedIn() const;
    // Where the notes of keys typed in `window` show, besides the first
    // window's own notes: there they show for every window.
    void showNotesWith(QWidget *window, const std::function<void(const QString &)> &show);
    // Says `text` for a moment where the person typing in `window` looks.
    void showNote(QWidget *window, const QString &text) const;

signals:
    // The first stroke of a code waits for its second (`typed` names it), or
    // no stroke waits any longer (`typed` is empty).
    void pendingChanged(const QKeySequence &typed);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Binding
    {
        QKeySequence keys;
        std::function<void()> reaction;
    };

    // What a stroke does: the sequence it types, how that matches, and the
    // binding it completes, if any.
    struct Stroke
    {
        QKeySequence typed;
        QKeySequence::SequenceMatch found = QKeySequence::NoMatch;
        const Binding *exact = nullptr;
    };

    Stroke strokeOf(const QKeyEvent *event) const;
    bool leftToControl(QObject *watched, const QKeyEvent *event, const Stroke &stroke);
    QKeySequence::SequenceMatch match(const QKeySequence &typed, const Binding **exact) const;
    void setPending(const QKeySequence &typed);

    QList<Binding> bindings;
    QHash<const QWidget *, QList<QKeySequence>> leftToControls;
    bool askingTextField = false;
    QKeySequence pending; // the first stroke of a sequence, or empty
    QHash<const QWidget *, std::function<void(const QString &)>> noteShowers;
    QWidget *typing = nullptr; // the window of the key whose reaction runs
    int typingLevel = 0;       // the event loop that reaction runs in
};
