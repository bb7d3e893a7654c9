#pragma once

#include "imagesession.h"
#include "sessionoutcome.h"
#include "sessionscreen.h"
#include "undostep.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUndoStack>

#include <functional>
#include <memory>
#include <optional>

class AnnotationStore;
class Suggestions;
class WindowActivity;

// One person's labelling of the open folder against one store: the listed
// images and the current position, the current image's labels (the truth,
// which the window's list only mirrors), whether they differ from its saved
// row, and every operation on them. No widget: a window presents it through
// a SessionScreen and turns the outcomes into message boxes; the windows
// beside it follow its notifier, which tells once per operation, after it,
// what the operation changed.
//
// Each operation that changes labels or rows pushes a step on one undo
// stack: a label given or removed, a save, unsaved labels a display dropped.
// Taking a step back or doing it again first shows the image the step
// concerns, as a view step would, then puts the labels, the change flag and
// the row back as they were on that side of it; a row is put back by a save,
// under all of a save's rules. While a step is replayed nothing it does is a
// step of its own.
class LabellingSession final : public QObject
{
    Q_OBJECT

public:
    // The oldest steps go once more than this many are kept.
    static constexpr int undoLimit = 1000;

    explicit LabellingSession(AnnotationStore *store, QObject *parent = nullptr);
    ~LabellingSession() override;

    // Shows what the operations reach; null shows nothing.
    void setScreen(SessionScreen *screen) { shownOn = screen; }

    AnnotationStore *store() const { return annotationStore; }
    const ImageSession &images() const { return imageSession; }
    const QStringList &labels() const { return currentAnnotations; }
    bool hasUnsaved() const { return annotationsModified; }
    // Whether the current image's picture could be decoded, as its last
    // display found.
    bool currentShown() const { return pictureShown; }
    // Whether any picture has been shown: from then on the main window's
    // label buttons stand enabled, and a side window may give labels too.
    bool givesLabels() const { return anyPictureShown; }
    WindowActivity *activity() const { return notes; }
    const QUndoStack &steps() const { return undoStack; }
    // The count line: marked and unmarked listed images, as the store counts
    // them now.
    QString countText() const;

    // Lists `folder` and shows its first image; a folder without images
    // changes nothing.
    SessionOutcome openFolder(const QString &folder);
    // Shows the current image anew with its stored labels.
    SessionOutcome showCurrent();
    // The current picture, decoded later, could not be.
    void pictureFailed(const QString &path);
    // Reads the store anew and adds the current image's stored labels.
    SessionOutcome addStoredLabels();
    bool isMarked(const QString &fileName);

    // A label already there is not given twice.
    void give(const QString &label);
    void removeAt(int row);

    // Saves the labels when they changed; not done only when they changed
    // and could not be written: they then stay, flagged.
    SessionOutcome save();
    // Writes the current image's row as the labels stand, flag untouched.
    // Refused as a Conflict when another member saved the row since this
    // window showed it, and again as long as that row stands, until the
    // refusal is settled.
    SessionOutcome saveRow();

    // How a save refused as a Conflict is settled: the labels as they stand
    // saved over the other's row, the union of both saved, or the other's
    // row shown in place of the labels, which are dropped.
    enum class ConflictChoice { Overwrite, Merge, TakeTheirs };
    // Settles the refused save of the current image, as one undo step: the
    // save, or the drop, whose undo brings the labels back unsaved. A save
    // refused once more is a Conflict of its own; taking the other's row is
    // no save, so it is not done. Nothing while no save of the current image
    // waits to be settled.
    SessionOutcome settleConflict(ConflictChoice choice);

    // Moves never save and keep the change flag.
    SessionOutcome next();
    SessionOutcome previous();
    SessionOutcome moveTo(int index);
    SessionOutcome jumpToLastMarked();
    // The next image the store does not mark; on a team's server the image
    // found is held for this session at once.
    SessionOutcome nextUnmarked();

    // The model's suggestions for the listed images, told the listing and the
    // shown position from now on; it may have no model. Not taken over.
    void setSuggestions(Suggestions *suggestions);
    Suggestions *suggestions() const { return suggested; }
    // Gives the current image every suggested label it lacks, in catalogue
    // order, as the label buttons would, as one step; removes none.
    enum class Acceptance {
        Given,        // at least one label was given
        NothingNew,   // every suggested label was there already
        NoPrediction, // no current prediction of the image
        NoneSuggested // a prediction, but no label at or above its threshold
    };
    Acceptance acceptSuggestions();
    // Moves to the unmarked listed image, other than the current one, whose
    // prediction the model is least sure of; on a team's server one no other
    // window holds, held for this session at once. Without one that has a
    // prediction, as nextUnmarked().
    SessionOutcome nextLeastSure();
    // The suggestions learn from the marked images in the background after
    // this many saves of the session, and whenever retrain() is asked.
    static constexpr int savesPerTraining = 200;
    void retrain();

    // A reviewer's word on the current image's saved row: accepted, or sent
    // back to the annotator who saved it with `reason`. Not an undo step: it
    // changes no labels, and the next save clears it.
    enum class ReviewResult {
        Done,
        NoReviews, // the store keeps no reviews (an annotation file)
        NoRow,     // the image has no saved row to review
        Unsaved,   // the labels shown are not the saved row
        Refused    // the server refused or failed: `error` says why
    };
    ReviewResult review(bool accept, const QString &reason, QString *error);
    // The reason the current image was sent back to this window's
    // annotator, while it stands; empty otherwise.
    QString sentBackReason() const;

    // Shows `labels` with the change flag `unsaved`, as a step taken back
    // or done again leaves them; nothing while there is no current image.
    void putBackLabels(const QStringList &labels, bool unsaved);
    // A team's dataset: another member saved the row of `fileName` (empty:
    // the whole dataset was read anew).
    SessionOutcome followSavedElsewhere(const QString &fileName);

    // Take the newest done step back, or do the newest undone one again;
    // `taken` is the step when it was.
    struct StepOutcome
    {
        SessionOutcome outcome;
        std::optional<UndoStep> taken;
    };
    StepOutcome undo();
    StepOutcome redo();
    // Called by a step of the stack while it is replayed.
    SessionOutcome replay(const UndoStep &step, bool forth);

private:
    static bool sameLabelSet(QStringList a, QStringList b);
    void readStoredLabels(SessionOutcome &outcome);
    void setModified(bool modified);
    void showLabelsAnew();
    void noteDropped(const QString &folder, const QString &image, const QStringList &before);
    void record(const UndoStep &step);
    StepOutcome takeStep(bool forth);
    bool showStepImage(const QString &folder, const QString &image, bool reload,
                       SessionOutcome &outcome);
    bool rowStillIs(const QString &image, const QByteArray &row, SessionOutcome &outcome);
    bool putBackRow(const QString &image, const QByteArray &expected,
                    const QByteArray &replacement, SessionOutcome &outcome);
    std::unique_ptr<SessionWait> startWaiting(SessionWait::Kind kind) const;
    void takeReplaced(const QString &fileName, const QByteArray &before, const QByteArray &after);
    SessionOutcome saveLabels(const QStringList &labels);
    SaveResult writeRow(const QString &fileName, const QStringList &labels);
    SessionOutcome refuseAsConflict(const QString &fileName, const QStringList &labels);
    SessionOutcome takeTheirs();
    void countSaveForTraining();

    AnnotationStore *annotationStore;
    SessionScreen *shownOn = nullptr;
    Suggestions *suggested = nullptr;
    int savesSinceTraining = 0;
    WindowActivity *notes;
    ImageSession imageSession;
    QStringList currentAnnotations;
    bool annotationsModified = false;
    bool pictureShown = false;
    bool anyPictureShown = false;
    // The image whose labels are held, as its folder and name: the one shown
    // last.
    QString labelsFolder;
    QString labelsImage;
    QUndoStack undoStack;
    bool replaying = false;
    // A save of this session in progress, and the rows it replaced.
    bool saving = false;
    QByteArray savedBefore;
    QByteArray savedAfter;
    // The image whose save was refused as a Conflict, and the other's row
    // then, as the store holds it, while the refusal waits to be settled: a
    // save of it is refused again while that row stands.
    QString conflictImage;
    QByteArray conflictRow;
};
