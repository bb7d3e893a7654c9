#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <deque>

// One step that can be taken back and done again. It keeps names and flags
// only: which image, which labels, which rows of the annotation file.
struct UndoStep
{
    enum Kind {
        Added,   // a label added to the image's labels
        Removed, // a label taken from them
        Saved,   // the image's row saved
        Dropped, // unsaved labels dropped by a move
    };

    Kind kind = Added;
    // The image the step concerns, in its folder.
    QString folder;
    QString image;
    // Added, Removed: the label.
    QString label;
    // The image's labels as shown before and after the step, in their order,
    // and the change flag with them.
    QStringList labelsBefore;
    QStringList labelsAfter;
    bool unsavedBefore = false;
    bool unsavedAfter = false;
    // Saved: the image's row in the file before and after the save, without
    // its line end; empty for no row.
    QByteArray rowBefore;
    QByteArray rowAfter;
    // Dropped: the image the move went to.
    QString targetFolder;
    QString targetImage;
};

// The steps of one window, newest last, and how many of them are done: those
// after it were taken back and can be done again, until a new step clears
// them. The oldest go once more than `capacity` are kept.
class UndoHistory
{
public:
    static constexpr qsizetype capacity = 1000;

    void record(const UndoStep &step);
    bool canUndo() const { return done > 0; }
    bool canRedo() const { return done < qsizetype(steps.size()); }
    // The step that undo takes back, and the one that redo does again.
    const UndoStep &toUndo() const { return steps[std::size_t(done - 1)]; }
    const UndoStep &toRedo() const { return steps[std::size_t(done)]; }
    void undone() { --done; }
    void redone() { ++done; }

private:
    std::deque<UndoStep> steps;
    qsizetype done = 0;
};
