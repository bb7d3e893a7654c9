// The session's displays and moves. A display reads the store once for the
// labels and the counts, and drops the labels held so far: when they were
// unsaved and differ from their image's row, that is a step of its own.
#include "labellingsession.h"

#include "annotationstore.h"
#include "folderlisting.h"
#include "suggestions.h"
#include "windowactivity.h"

#include <QCoreApplication>
#include <QDebug>

LabellingSession::LabellingSession(AnnotationStore *store, QObject *parent)
    : QObject(parent)
    , annotationStore(store)
    , notes(new WindowActivity(this))
{
    undoStack.setUndoLimit(undoLimit);
    connect(store, &AnnotationStore::reloaded, notes, &WindowActivity::noteReloaded);
    connect(store, &AnnotationStore::rowReplaced, this, &LabellingSession::takeReplaced);
}

LabellingSession::~LabellingSession()
{
    // The steps refer to this session while they go; a store that outlives
    // the session, or goes with it as its child, tells it nothing more.
    undoStack.clear();
    disconnect(annotationStore, nullptr, this, nullptr);
    disconnect(annotationStore, nullptr, notes, nullptr);
}

QString LabellingSession::countText() const
{
    const AnnotationFormat::MarkCounts counts = annotationStore->markCounts();
    return QCoreApplication::translate("Tavrelin", "已标记: %1 | 未标记: %2")
        .arg(counts.marked)
        .arg(counts.unmarked);
}

std::unique_ptr<SessionWait> LabellingSession::startWaiting(SessionWait::Kind kind) const
{
    return shownOn ? shownOn->startWaiting(kind) : nullptr;
}

SessionOutcome LabellingSession::openFolder(const QString &folder)
{
    SessionOutcome outcome;
    const FolderListing listing = listFolder(folder);
    // A folder without images changes nothing: the folder shown so far, its
    // current image and its unsaved labels all stay usable.
    if (listing.names.isEmpty()) {
        outcome.fail(SessionNotice::NoImages);
    } else {
        // The windows beside this one hear of the new folder before the
        // person is told of names left out.
        const OneAction action(notes);
        if (shownOn)
            shownOn->showFolder(folder);
        imageSession.open(folder, listing.names);
        if (suggested)
            suggested->setListed(folder, listing.names);
        // Counted against the store as it is now, once.
        annotationStore->refresh();
        annotationStore->setListedNames(listing.names);
        outcome.follow(showCurrent());
    }
    if (listing.undecodable > 0)
        outcome.tell({SessionNotice::Unlisted, SaveResult::Saved, QString(), listing.undecodable});
    return outcome;
}

SessionOutcome LabellingSession::showCurrent()
{
    const OneAction action(notes);
    SessionOutcome outcome;
    if (!imageSession.hasCurrent())
        return outcome;
    const QString imagePath = imageSession.currentPath();
    qDebug() << "加载图像路径：" << imagePath;
    // Predicted before any other image, while the picture is decoded.
    if (suggested)
        suggested->setShown(imageSession.position());
    pictureShown = !shownOn || shownOn->showPicture(imagePath);
    anyPictureShown = anyPictureShown || pictureShown;

    // One look at the store serves the labels and the counts. What is shown,
    // and what a save would write, belongs to the image current now.
    annotationStore->refresh();
    const QString folderBefore = std::exchange(labelsFolder, imageSession.folder());
    const QString imageBefore = std::exchange(labelsImage, imageSession.currentName());
    const QStringList labelsBefore = std::exchange(currentAnnotations, QStringList());
    readStoredLabels(outcome);
    if (shownOn)
        shownOn->showLabels(currentAnnotations);
    noteDropped(folderBefore, imageBefore, labelsBefore);

    if (shownOn) {
        shownOn->showName();
        if (pictureShown)
            shownOn->showCounts();
    }
    notes->noteImage(imagePath, pictureShown);
    notes->noteLabels();
    return outcome;
}

void LabellingSession::pictureFailed(const QString &path)
{
    if (imageSession.currentPath() != path)
        return;
    const OneAction action(notes);
    pictureShown = false;
    notes->noteImage(path, false);
}

// Appends the labels that the store holds for the current image to the
// current labels.
void LabellingSession::readStoredLabels(SessionOutcome &outcome)
{
    if (annotationStore->status() == AnnotationText::Missing) {
        qDebug() << "未找到标签文件.";
        return;
    }
    if (annotationStore->status() == AnnotationText::Unreadable) {
        outcome.tell(SessionNotice::LabelsUnreadable);
        return;
    }
    if (!imageSession.hasCurrent())
        return;
    currentAnnotations.append(annotationStore->storedLabels(imageSession.currentName()));
    annotationStore->showing(imageSession.currentName());
}

SessionOutcome LabellingSession::addStoredLabels()
{
    const OneAction action(notes);
    SessionOutcome outcome;
    annotationStore->refresh();
    readStoredLabels(outcome);
    // As a slot of the window always did: the list shows them, nobody is told.
    if (shownOn)
        shownOn->showLabels(currentAnnotations);
    return outcome;
}

bool LabellingSession::isMarked(const QString &fileName)
{
    annotationStore->refresh();
    return annotationStore->isMarked(fileName);
}

SessionOutcome LabellingSession::next()
{
    const OneAction action(notes);
    if (imageSession.next())
        return showCurrent();
    return SessionOutcome().fail(SessionNotice::LastImage);
}

SessionOutcome LabellingSession::previous()
{
    const OneAction action(notes);
    if (imageSession.previous())
        return showCurrent();
    return SessionOutcome().fail(SessionNotice::FirstImage);
}

SessionOutcome LabellingSession::moveTo(int index)
{
    const OneAction action(notes);
    if (imageSession.moveTo(index))
        return showCurrent();
    return SessionOutcome{false, {}};
}

SessionOutcome LabellingSession::jumpToLastMarked()
{
    const OneAction action(notes);
    annotationStore->refresh();
    if (annotationStore->status() != AnnotationText::Read)
        return SessionOutcome().fail(SessionNotice::FileUnreadable);
    // Only the last marked row counts; the header row never qualifies.
    const std::optional<QString> fileName = annotationStore->lastMarkedName();
    if (!fileName)
        return SessionOutcome().fail(SessionNotice::NoMarkedImage);
    // A name that is not listed leaves the current image where it is, so that
    // its unsaved labels can still be saved under its own name.
    if (!imageSession.moveTo(annotationStore->listedPosition(*fileName)))
        return SessionOutcome().fail(SessionNotice::MarkedNotListed);
    return showCurrent();
}

SessionOutcome LabellingSession::nextUnmarked()
{
    const OneAction action(notes);
    if (!imageSession.hasCurrent())
        return SessionOutcome{false, {}};
    // A store that cannot be read marks nothing, as for the counts.
    annotationStore->refresh();
    QString error;
    qsizetype next = -1;
    {
        const std::unique_ptr<SessionWait> wait = startWaiting(SessionWait::ServerQuery);
        next = annotationStore->takeNextUnmarked(
            imageSession.position(), keepWaitingOn(wait.get()), &error);
    }
    // A move like a view step's: it neither saves nor clears the flag.
    if (imageSession.moveTo(next))
        return showCurrent();
    if (!error.isEmpty())
        return SessionOutcome().fail({SessionNotice::Unreachable, SaveResult::Unreachable, error});
    return SessionOutcome().fail(SessionNotice::NoUnmarkedAfter);
}

// Another member's save shows at once: the counts, the row in the windows
// beside this one, and the current image's labels, unless they hold changes
// not saved yet, which stay as typed.
SessionOutcome LabellingSession::followSavedElsewhere(const QString &fileName)
{
    const OneAction action(notes);
    SessionOutcome outcome;
    if (shownOn)
        shownOn->showCounts();
    const qsizetype position = annotationStore->listedPosition(fileName);
    if (position >= 0)
        notes->noteRowSaved(position);
    if (!imageSession.hasCurrent()
        || (!fileName.isEmpty() && imageSession.currentName() != fileName))
        return outcome;
    // Labels that are the image's stored row hold no change, whatever the
    // flag kept across a move says: the store tells.
    if (annotationsModified
        && !annotationStore->isStoredRow(imageSession.currentName(), currentAnnotations))
        return outcome;
    currentAnnotations.clear();
    readStoredLabels(outcome);
    showLabelsAnew();
    return outcome;
}
