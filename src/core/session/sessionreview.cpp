#include "labellingsession.h"

#include "annotationstore.h"
#include "windowactivity.h"

// The reviewer judges what was saved, so labels edited since must be saved
// or taken back first: an acceptance never stands for labels nobody stored.
LabellingSession::ReviewResult LabellingSession::review(bool accept, const QString &reason,
                                                         QString *error)
{
    if (!annotationStore->keepsReviews())
        return ReviewResult::NoReviews;
    if (!imageSession.hasCurrent() || !annotationStore->facts(imageSession.currentName()).hasRow)
        return ReviewResult::NoRow;
    if (annotationsModified
        && !annotationStore->isStoredRow(imageSession.currentName(), currentAnnotations))
        return ReviewResult::Unsaved;
    const OneAction action(notes);
    bool done = false;
    {
        const std::unique_ptr<SessionWait> wait = startWaiting(SessionWait::ServerQuery);
        done = annotationStore->review(imageSession.currentName(), accept, reason,
                                       keepWaitingOn(wait.get()), error);
    }
    if (!done)
        return ReviewResult::Refused;
    const qsizetype position = annotationStore->listedPosition(imageSession.currentName());
    if (position >= 0)
        notes->noteRowSaved(position);
    return ReviewResult::Done;
}

QString LabellingSession::sentBackReason() const
{
    if (!imageSession.hasCurrent())
        return QString();
    return annotationStore->ownSentBackReason(imageSession.currentName());
}
