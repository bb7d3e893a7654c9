#pragma once

#include "undohistory.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QWidget;
class Tavrelin;
class UndoNote;

// Undo and redo of one main window. It watches what the window does and
// keeps each step: a label added or removed, a save, unsaved labels dropped
// by a move. Taking a step back or doing it again first shows the image the
// step concerns, as a view step would, and then puts the labels, the change
// flag and the image's row in the file back as they were on that side of the
// step. A row is put back by a save, under all of a save's rules.
class UndoFeature final : public QObject
{
    Q_OBJECT

public:
    // Ctrl+Z undoes, Ctrl+Shift+Z and Ctrl+Y redo, in the main window and in
    // every window beside it; the note shows beside `noteAnchor`.
    static UndoFeature *attach(Tavrelin *window, QWidget *noteAnchor);

    void undo();
    void redo();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // What the window showed after its last operation.
    struct Shown
    {
        QString folder;
        QString image; // empty while there is no current image
        QStringList labels;
        bool unsaved = false;
    };

    UndoFeature(Tavrelin *window, QWidget *noteAnchor);
    Shown shownNow() const;
    void follow();
    void takeSave(const QString &fileName, const QByteArray &before, const QByteArray &after);
    void equip(QWidget *sideWindow);

    bool showImage(const QString &folder, const QString &image, bool reload);
    bool rowStillIs(const QString &image, const QByteArray &row);
    bool putBack(const QString &image, const QByteArray &expected, const QByteArray &replacement);
    bool replay(const UndoStep &step, bool forth);
    static QString noteText(const UndoStep &step, bool forth);

    Tavrelin *window;
    UndoNote *note;
    UndoHistory steps;
    Shown shown;
    bool displayed = false;
    bool replaying = false;
};
