#pragma once

#include <QObject>
#include <QString>

class LabellingSession;
class LabellingWindow;
class QWidget;
class UndoNote;
struct UndoStep;

// The keys and the notes of undo and redo for one main window. The steps are
// the labelling session's, on its undo stack (a label added or removed, a
// save, unsaved labels dropped by a move); here a key takes one back or does
// it again through the session, and the person is told what it did or why
// it could not.
class UndoFeature final : public QObject
{
    Q_OBJECT

public:
    // Ctrl+Z undoes, Ctrl+Shift+Z and Ctrl+Y redo, in the main window; the
    // note shows beside `noteAnchor`.
    static UndoFeature *attach(LabellingWindow *window, QWidget *noteAnchor);

    void undo();
    void redo();
    // Gives a window beside the main window the same keys, as window
    // shortcuts: a control that has them as its own, as a text field has
    // Ctrl+Z, keeps them. Once per window.
    void equip(QWidget *sideWindow);

private:
    UndoFeature(LabellingWindow *window, QWidget *noteAnchor);
    void take(bool forth);
    static QString noteText(const UndoStep &step, bool forth);

    QWidget *window;
    LabellingSession *labelling;
    UndoNote *note;
};
