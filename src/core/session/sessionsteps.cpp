// The session's steps on its undo stack. A step is pushed once its
// operation is over, so the stack's first redo() of it does nothing; later
// ones, and every undo(), replay it through the session. A replay that is
// refused leaves the stack where it was: the index is moved back with the
// step kept from acting.
#include "labellingsession.h"

#include "annotationstore.h"
#include "windowactivity.h"

#include <QScopeGuard>
#include <QUndoCommand>

#include <utility>

namespace {

class SessionStep final : public QUndoCommand
{
public:
    SessionStep(LabellingSession *session, const UndoStep &step)
        : step(step)
        , session(session)
    {
    }

    void undo() override { act(false); }
    void redo() override { act(true); }

    const UndoStep step;
    // Set by each replay: what it has to tell, and whether it was taken.
    SessionOutcome outcome;
    // Off while the stack runs the step without meaning it to act: when it
    // is pushed, and when a refused replay is moved back.
    bool acting = false;

private:
    void act(bool forth)
    {
        if (acting)
            outcome = session->replay(step, forth);
    }

    LabellingSession *session;
};

} // namespace

// A row holds flags, not the order in which the labels were given.
bool LabellingSession::sameLabelSet(QStringList a, QStringList b)
{
    a.sort();
    b.sort();
    return a == b;
}

void LabellingSession::record(const UndoStep &step)
{
    if (replaying || !imageSession.hasCurrent())
        return;
    UndoStep kept = step;
    if (kept.kind != UndoStep::Dropped) {
        kept.folder = imageSession.folder();
        kept.image = imageSession.currentName();
    }
    undoStack.push(new SessionStep(this, kept));
}

// Unsaved labels that differ from their image's row, dropped by a display.
void LabellingSession::noteDropped(const QString &folder, const QString &image,
                                   const QStringList &before)
{
    if (replaying || image.isEmpty() || !annotationsModified
        || sameLabelSet(before, annotationStore->storedLabels(image)))
        return;
    UndoStep step;
    step.kind = UndoStep::Dropped;
    step.folder = folder;
    step.image = image;
    step.labelsBefore = before;
    step.unsavedBefore = true;
    step.labelsAfter = currentAnnotations;
    step.unsavedAfter = annotationsModified;
    step.targetFolder = imageSession.folder();
    step.targetImage = imageSession.currentName();
    undoStack.push(new SessionStep(this, step));
}

LabellingSession::StepOutcome LabellingSession::undo()
{
    return takeStep(false);
}

LabellingSession::StepOutcome LabellingSession::redo()
{
    return takeStep(true);
}

LabellingSession::StepOutcome LabellingSession::takeStep(bool forth)
{
    StepOutcome taken;
    if (replaying || !(forth ? undoStack.canRedo() : undoStack.canUndo())) {
        taken.outcome.done = false;
        return taken;
    }
    const int index = undoStack.index();
    auto *step = static_cast<SessionStep *>(
        const_cast<QUndoCommand *>(undoStack.command(forth ? index : index - 1)));
    step->acting = true;
    forth ? undoStack.redo() : undoStack.undo();
    step->acting = false;
    taken.outcome = std::exchange(step->outcome, SessionOutcome());
    if (taken.outcome.done)
        taken.taken = step->step;
    else
        undoStack.setIndex(index);
    return taken;
}

SessionOutcome LabellingSession::replay(const UndoStep &step, bool forth)
{
    replaying = true;
    const auto done = qScopeGuard([this] { replaying = false; });
    // One operation, told when it ends, while still replaying.
    const OneAction action(notes);
    SessionOutcome outcome;

    // Done again, a drop is the display that dropped the labels.
    if (forth && step.kind == UndoStep::Dropped) {
        outcome.done = showStepImage(step.targetFolder, step.targetImage, true, outcome);
        // A display keeps the change flag; taking another member's row in
        // place of the labels left nothing unsaved.
        if (outcome.done && !step.unsavedAfter)
            setModified(false);
        return outcome;
    }
    const QByteArray &expected = forth ? step.rowBefore : step.rowAfter;
    outcome.done = false;
    if (step.kind == UndoStep::Saved && !rowStillIs(step.image, expected, outcome))
        return outcome;
    if (!showStepImage(step.folder, step.image, false, outcome))
        return outcome;
    if (step.kind == UndoStep::Saved) {
        if (!putBackRow(step.image, expected, forth ? step.rowAfter : step.rowBefore, outcome))
            return outcome;
        notes->noteRowSaved(imageSession.position());
    }
    putBackLabels(forth ? step.labelsAfter : step.labelsBefore,
                  forth ? step.unsavedAfter : step.unsavedBefore);
    outcome.done = true;
    return outcome;
}

// Shows the image as a view step would; `reload` shows it anew also when it
// is current, dropping its unsaved labels.
bool LabellingSession::showStepImage(const QString &folder, const QString &image, bool reload,
                                     SessionOutcome &outcome)
{
    if (imageSession.folder() != folder) {
        outcome.follow(openFolder(folder));
        // The folder was refused, and the person is told why.
        if (imageSession.folder() != folder)
            return false;
        reload = false;
    }
    if (!reload && imageSession.currentName() == image)
        return true;
    const qsizetype position = annotationStore->listedPosition(image);
    if (position < 0) {
        outcome.tell({SessionNotice::ImageGone, SaveResult::Saved, image});
        return false;
    }
    outcome.follow(moveTo(int(position)));
    return true;
}

// Asked before the image is shown: a step that cannot be taken changes nothing.
bool LabellingSession::rowStillIs(const QString &image, const QByteArray &row,
                                  SessionOutcome &outcome)
{
    annotationStore->refresh();
    // An unreadable file is for the save to refuse.
    if (annotationStore->status() == AnnotationText::Unreadable || annotationStore->row(image) == row)
        return true;
    outcome.tell({SessionNotice::SaveRefused, SaveResult::RowChanged});
    return false;
}

bool LabellingSession::putBackRow(const QString &image, const QByteArray &expected,
                                  const QByteArray &replacement, SessionOutcome &outcome)
{
    SaveResult result;
    {
        const std::unique_ptr<SessionWait> wait = startWaiting(SessionWait::FileLock);
        result = annotationStore->putBackRow(image, expected, replacement,
                                             keepWaitingOn(wait.get()));
    }
    if (result == SaveResult::Saved)
        return true;
    outcome.tell({SessionNotice::SaveRefused, result});
    return false;
}
