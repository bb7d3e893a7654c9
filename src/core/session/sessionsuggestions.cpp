// What the session does with the model's suggestions: the current image's
// suggested labels given together, and the move to the image the model is
// least sure of. The facade answers from the predictions at hand, so
// neither ever waits for the model.
#include "labellingsession.h"

#include "annotationstore.h"
#include "suggestions.h"
#include "windowactivity.h"

#include <QSet>

void LabellingSession::setSuggestions(Suggestions *suggestions)
{
    suggested = suggestions;
    if (!suggested || imageSession.names().isEmpty())
        return;
    suggested->setListed(imageSession.folder(), imageSession.names());
    if (imageSession.hasCurrent())
        suggested->setShown(imageSession.position());
}

LabellingSession::Acceptance LabellingSession::acceptSuggestions()
{
    const OneAction action(notes);
    if (!imageSession.hasCurrent() || !suggested
        || !suggested->probabilities(imageSession.currentName()))
        return Acceptance::NoPrediction;
    const QStringList given = suggested->suggested(imageSession.currentName());
    if (given.isEmpty())
        return Acceptance::NoneSuggested;
    // As the label buttons, which give nothing until a picture was shown.
    if (!anyPictureShown)
        return Acceptance::NothingNew;
    UndoStep step;
    step.kind = UndoStep::Accepted;
    step.labelsBefore = currentAnnotations;
    step.unsavedBefore = annotationsModified;
    for (const QString &label : given) {
        if (currentAnnotations.contains(label, Qt::CaseSensitive))
            continue;
        currentAnnotations.append(label);
        if (shownOn)
            shownOn->showLabelAdded(label);
    }
    if (currentAnnotations == step.labelsBefore)
        return Acceptance::NothingNew;
    notes->noteLabels();
    setModified(true);
    step.labelsAfter = currentAnnotations;
    step.unsavedAfter = true;
    record(step);
    return Acceptance::Given;
}

// The least sure images are offered to the store a few at a time, in the
// model's order: a file takes the first, a team's server the first that no
// other window holds.
SessionOutcome LabellingSession::nextLeastSure()
{
    const OneAction action(notes);
    if (!imageSession.hasCurrent())
        return SessionOutcome{false, {}};
    if (!suggested || !suggested->hasModel())
        return nextUnmarked();
    annotationStore->refresh();
    const qsizetype current = imageSession.position();
    QSet<qsizetype> offered;
    const auto eligible = [this, current, &offered](qsizetype position) {
        return position != current && !offered.contains(position)
            && !annotationStore->listedFacts(position).marked;
    };
    QString error;
    qsizetype next = -1;
    {
        const std::unique_ptr<SessionWait> wait = startWaiting(SessionWait::ServerQuery);
        for (qsizetype batch = 1; next < 0 && error.isEmpty(); batch = 16) {
            QList<qsizetype> candidates;
            while (candidates.size() < batch) {
                const qsizetype found = suggested->leastSure(eligible);
                if (found < 0)
                    break;
                offered.insert(found);
                candidates.append(found);
            }
            if (candidates.isEmpty())
                break;
            next = annotationStore->takeFirstFree(candidates, keepWaitingOn(wait.get()), &error);
        }
    }
    if (!error.isEmpty())
        return SessionOutcome().fail({SessionNotice::Unreachable, SaveResult::Unreachable, error});
    // Nothing predicted yet, or every predicted image held elsewhere.
    if (next < 0)
        return nextUnmarked();
    // A move like a view step's: it neither saves nor clears the flag.
    imageSession.moveTo(int(next));
    return showCurrent();
}

void LabellingSession::retrain()
{
    if (suggested && suggested->hasModel())
        suggested->retrain(annotationStore->listedFactsInOrder());
}

void LabellingSession::countSaveForTraining()
{
    if (!suggested || !suggested->hasModel() || ++savesSinceTraining < savesPerTraining)
        return;
    savesSinceTraining = 0;
    retrain();
}
