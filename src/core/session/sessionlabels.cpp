// Editing the current image's labels and saving them. The labels live here
// until a save writes them; annotationsModified says whether there is
// anything to write.
#include "labellingsession.h"

#include "annotationstore.h"
#include "windowactivity.h"

#include <QDebug>

void LabellingSession::give(const QString &label)
{
    const OneAction action(notes);
    if (currentAnnotations.contains(label, Qt::CaseSensitive))
        return;
    UndoStep step;
    step.kind = UndoStep::Added;
    step.label = label;
    step.labelsBefore = currentAnnotations;
    step.unsavedBefore = annotationsModified;
    currentAnnotations.append(label);
    if (shownOn)
        shownOn->showLabelAdded(label);
    notes->noteLabels();
    setModified(true);
    step.labelsAfter = currentAnnotations;
    step.unsavedAfter = true;
    record(step);
}

void LabellingSession::removeAt(int row)
{
    const OneAction action(notes);
    if (row < 0 || row >= currentAnnotations.size())
        return;
    UndoStep step;
    step.kind = UndoStep::Removed;
    step.labelsBefore = currentAnnotations;
    step.unsavedBefore = annotationsModified;
    const QString label = currentAnnotations.takeAt(row);
    step.label = label;
    if (shownOn)
        shownOn->showLabelRemoved(row);
    notes->noteLabels();
    setModified(true);
    qDebug() << "Annotation removed:" << label;
    step.labelsAfter = currentAnnotations;
    step.unsavedAfter = true;
    record(step);
}

void LabellingSession::setModified(bool modified)
{
    annotationsModified = modified;
    notes->noteUnsaved(modified);
}

void LabellingSession::showLabelsAnew()
{
    if (shownOn)
        shownOn->showLabels(currentAnnotations);
    notes->noteLabels();
}

SessionOutcome LabellingSession::save()
{
    const OneAction action(notes);
    if (!annotationsModified)
        return SessionOutcome().tell(SessionNotice::NothingToChange);
    SessionOutcome outcome = saveRow();
    if (outcome.done)
        setModified(false);
    return outcome;
}

SessionOutcome LabellingSession::saveRow()
{
    return saveLabels(currentAnnotations);
}

// Saves `labels` as the current image's row; once saved they are the
// current labels, and the step goes from the labels held before to them.
SessionOutcome LabellingSession::saveLabels(const QStringList &labels)
{
    const OneAction action(notes);
    if (!imageSession.hasCurrent())
        return SessionOutcome().fail(SessionNotice::NoCurrentImage);
    const QString fileName = imageSession.currentName();
    // The other's row the person was asked about still stands: asked again.
    if (fileName == conflictImage && annotationStore->row(fileName) == conflictRow)
        return refuseAsConflict(fileName, labels);

    const SaveResult result = writeRow(fileName, labels);
    if (result == SaveResult::Conflict)
        return refuseAsConflict(fileName, labels);
    if (result != SaveResult::Saved)
        return SessionOutcome().fail({SessionNotice::SaveRefused, result});

    conflictImage.clear();
    UndoStep step;
    step.kind = UndoStep::Saved;
    step.labelsBefore = currentAnnotations;
    step.labelsAfter = labels;
    step.unsavedBefore = true;
    step.unsavedAfter = false;
    step.rowBefore = std::exchange(savedBefore, QByteArray());
    step.rowAfter = std::exchange(savedAfter, QByteArray());
    if (labels != currentAnnotations) {
        currentAnnotations = labels;
        showLabelsAnew();
    }
    record(step);
    countSaveForTraining();
    notes->noteRowSaved(imageSession.position());
    // A save that does not move (at either end of the list) must still count
    // the row it has just written.
    if (shownOn)
        shownOn->showCounts();
    return SessionOutcome();
}

SaveResult LabellingSession::writeRow(const QString &fileName, const QStringList &labels)
{
    // Copies: the window paints, and its timers run, while the save waits.
    const QStringList annotations = labels;
    // A team's server is waited for; a file's lock may be given up.
    const std::unique_ptr<SessionWait> wait = startWaiting(
        annotationStore->knowsWhoSaved() ? SessionWait::ServerSave : SessionWait::FileLock);
    saving = true;
    const SaveResult result =
        annotationStore->saveRow(fileName, annotations, keepWaitingOn(wait.get()));
    saving = false;
    return result;
}

// Told while this session's save runs: the row it replaced and the one it left.
void LabellingSession::takeReplaced(const QString &fileName, const QByteArray &before,
                                    const QByteArray &after)
{
    if (!saving || fileName != imageSession.currentName())
        return;
    savedBefore = before;
    savedAfter = after;
}

void LabellingSession::putBackLabels(const QStringList &labels, bool unsaved)
{
    const OneAction action(notes);
    if (!imageSession.hasCurrent())
        return;
    currentAnnotations = labels;
    showLabelsAnew();
    setModified(unsaved);
    // A step that put a row back changed the counts.
    if (shownOn)
        shownOn->showCounts();
}
