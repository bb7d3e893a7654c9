// A save refused because another member of the team saved the row since
// this window showed it, and how the person settles it. The labels stay as
// typed until then; each way of settling is one step on the undo stack.
#include "labellingsession.h"

#include "annotationstore.h"
#include "windowactivity.h"

// Told with the row that stands as this window knows it now: who, when and
// what, the row that a merge joins and that taking theirs shows. When it
// holds `labels` already, both saved the same: nothing to settle.
SessionOutcome LabellingSession::refuseAsConflict(const QString &fileName,
                                                  const QStringList &labels)
{
    if (shownOn)
        shownOn->showCounts();
    if (sameLabelSet(labels, annotationStore->storedLabels(fileName))) {
        conflictImage.clear();
        return SessionOutcome();
    }
    conflictImage = fileName;
    conflictRow = annotationStore->row(fileName);
    QString who = annotationStore->savedBy(fileName);
    if (who.isEmpty())
        who = annotationStore->refusalDetail();
    SessionNotice notice(SessionNotice::Conflict, SaveResult::Conflict, who);
    notice.labels = annotationStore->storedLabels(fileName);
    notice.savedAt = annotationStore->savedAt(fileName);
    return SessionOutcome().fail(notice);
}

SessionOutcome LabellingSession::settleConflict(ConflictChoice choice)
{
    const OneAction action(notes);
    if (!imageSession.hasCurrent() || conflictImage != imageSession.currentName())
        return SessionOutcome{false, {}};
    const QStringList theirs = annotationStore->storedLabels(conflictImage);
    QStringList labels = currentAnnotations;
    if (choice == ConflictChoice::Merge) {
        for (const QString &label : theirs) {
            if (!labels.contains(label))
                labels.append(label);
        }
    }
    // A union that adds nothing to theirs is theirs: nothing to write.
    if (choice == ConflictChoice::TakeTheirs || sameLabelSet(labels, theirs))
        return takeTheirs();
    // Chosen knowing the other's row: the store's own rule decides now, and
    // refuses only a row saved after it.
    conflictImage.clear();
    SessionOutcome outcome = saveLabels(labels);
    if (outcome.done)
        setModified(false);
    return outcome;
}

// The other's row shown anew, as a display drops unsaved labels: undone, the
// labels come back unsaved; done again, the image's row is shown as it then
// stands.
SessionOutcome LabellingSession::takeTheirs()
{
    UndoStep step;
    step.kind = UndoStep::Dropped;
    step.folder = imageSession.folder();
    step.image = imageSession.currentName();
    step.targetFolder = step.folder;
    step.targetImage = step.image;
    step.labelsBefore = currentAnnotations;
    step.unsavedBefore = annotationsModified;
    conflictImage.clear();
    SessionOutcome outcome;
    currentAnnotations.clear();
    readStoredLabels(outcome);
    showLabelsAnew();
    setModified(false);
    step.labelsAfter = currentAnnotations;
    step.unsavedAfter = false;
    record(step);
    if (shownOn)
        shownOn->showCounts();
    // The person asked to save, and chose to look at the other's labels.
    outcome.done = false;
    return outcome;
}
