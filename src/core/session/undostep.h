#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// One step that can be taken back and done again. It keeps names and flags
// only: which image, which labels, which rows of the store.
struct UndoStep
{
    enum Kind {
        Added,   // a label added to the image's labels
        Removed, // a label taken from them
        Saved,   // the image's row saved
        Dropped, // unsaved labels dropped by a display of another image
        Accepted, // the model's suggested labels given together
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
    // Saved: the image's row in the store before and after the save, in the
    // store's own form; empty for no row.
    QByteArray rowBefore;
    QByteArray rowAfter;
    // Dropped: the image the display went to.
    QString targetFolder;
    QString targetImage;
};
