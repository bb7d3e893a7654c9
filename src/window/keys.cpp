// The labelling loop from the keyboard. Every key stands for a control or a
// slot that already exists and goes through it: a key for a button clicks
// that button, so it does what the mouse does and nothing while the button
// is disabled. Keys act at once, in the order typed: a label typed right
// before Ctrl+S is saved, one typed right before a move stays with its image.
#include "tavrelin.h"

#include "datasetfeature.h"
#include "freshboxkeys.h"
#include "inspectionview.h"
#include "keynames.h"
#include "keyssheet.h"
#include "labelcatalogue.h"
#include "labelkeys.h"
#include "labellingsession.h"
#include "pendingkeytip.h"
#include "storesource.h"
#include "undofeature.h"
#include "undokeys.h"
#include "undonote.h"
#include "windowactivity.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QChildEvent>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

namespace {

QKeySequence codeKeys(const QString &label)
{
    const QString code = labelCode(label);
    return QKeySequence(Qt::Key(code.at(0).unicode()), Qt::Key(code.at(1).unicode()));
}

// Unlike animateClick, which clicks only once it has shown the press, the
// click comes first and the press is shown after it.
void clickShowingThePress(QPushButton *button)
{
    if (!button->isEnabled())
        return;
    button->click();
    if (!button->isEnabled())
        return;
    button->setDown(true);
    QTimer::singleShot(100, button, [button] { button->setDown(false); });
}

// The main window's own openers of the windows beside it: a double-click on
// the count line opens the dataset window, one on the picture the
// inspection view; both close with the main window. Each window beside it
// gets the undo keys as it appears.
class SideOpeners final : public QObject
{
public:
    SideOpeners(QWidget *window, QWidget *countLine, QWidget *picture, DatasetFeature *dataset,
                InspectionOpener *inspection, UndoFeature *undo)
        : QObject(window)
        , window(window)
        , countLine(countLine)
        , picture(picture)
        , dataset(dataset)
        , inspection(inspection)
        , undo(undo)
    {
        countLine->setToolTip(dataset->openerToolTip());
        picture->setToolTip(InspectionOpener::toolTip());
        countLine->installEventFilter(this);
        picture->installEventFilter(this);
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Compared with the widgets kept at the start: the main window's own
        // events reach here while it is destroyed.
        if (watched == window) {
            if (event->type() == QEvent::Close) {
                dataset->closeWindow();
                inspection->close();
            }
            if (event->type() == QEvent::ChildPolished)
                equip(static_cast<QChildEvent *>(event)->child());
            return false;
        }
        if (event->type() != QEvent::MouseButtonDblClick)
            return false;
        if (watched == countLine) {
            dataset->openWindow();
            return true;
        }
        if (watched == picture
            && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            inspection->open();
            return true;
        }
        return false;
    }

private:
    // Windows only, not dialogs: a key in a dialog must not change what the
    // dialog is about.
    void equip(QObject *child)
    {
        auto *sideWindow = qobject_cast<QWidget *>(child);
        if (sideWindow && sideWindow->windowType() == Qt::Window)
            undo->equip(sideWindow);
    }

    QWidget *const window;
    QWidget *const countLine;
    QWidget *const picture;
    DatasetFeature *dataset;
    InspectionOpener *inspection;
    UndoFeature *undo;
};

// A code gives its label as the button does, and takes it off an image that
// has it, as a click on it in the inspection view's label panel does: typing
// a code twice undoes a slip. The buttons only give.
void bindCodes(LabelKeys *keys, LabellingWindow *window, const QList<QPushButton *> &buttons,
               const QStringList &labels)
{
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        QPushButton *button = buttons.at(i);
        const QString label = labels.at(i);
        const QList<QKeySequence> code{codeKeys(label)};
        keys->bind(code, [window, button, label] {
            LabellingSession *labelling = window->labelling();
            const int given = int(labelling->labels().indexOf(label));
            if (button->isEnabled() && given >= 0)
                labelling->removeAt(given);
            else
                clickShowingThePress(button);
        });
        button->setToolTip(Tavrelin::tr("快捷键：%1").arg(KeyNames::names(code)));
    }
}

// The letter of a code that waits for its second shows by the label buttons
// until it is completed or dropped; a move to another image drops it. What a
// key's operation only has to inform of shows there too, for two seconds, as
// the notes of undo do.
void showBesideLabelButtons(LabelKeys *keys, const WindowActivity *activity, QWidget *anchor)
{
    new PendingKeyTip(keys, anchor);
    QObject::connect(activity, &WindowActivity::currentImageChanged, keys,
                     [keys, shown = QString()](const QString &path) mutable {
                         if (path != shown)
                             keys->dropPending();
                         shown = path;
                     });
    keys->showNotesWith(anchor->window(), [note = UndoNote::of(anchor)](const QString &text) {
        note->show(text);
    });
}

// A key for a button clicks it. A key for a save-and-move button, with
// nothing unsaved, has nothing to save: it clicks the view button `whenSaved`
// instead, and no box says so while the person types on.
void clickOnKeys(LabelKeys *keys, LabellingWindow *window, QPushButton *button,
                 const QList<QKeySequence> &sequences, QPushButton *whenSaved = nullptr)
{
    keys->bind(sequences, [window, button, whenSaved] {
        const bool saved = whenSaved && !window->labelling()->hasUnsaved();
        clickShowingThePress(saved ? whenSaved : button);
    });
    button->setToolTip(Tavrelin::tr("快捷键：%1").arg(KeyNames::names(sequences)));
}

// A reviewer's keys: Ctrl+Shift+A accepts the shown image's saved labels,
// Ctrl+Shift+R sends them back with a reason asked in one line (cancelled
// or left empty, nothing is sent). Either is told as a note where the key
// was typed.
void bindReviewKeys(LabelKeys *keys, LabellingWindow *window)
{
    const auto judge = [keys, window](bool accept) {
        QWidget *typed = keys->typedIn();
        LabellingSession *labelling = window->labelling();
        QString reason;
        if (!accept && labelling->store()->keepsReviews()) {
            bool given = false;
            reason = QInputDialog::getText(typed, Tavrelin::tr("退回"), Tavrelin::tr("退回的原因："),
                                           QLineEdit::Normal, QString(), &given)
                         .simplified();
            if (!given || reason.isEmpty())
                return;
        }
        QString error;
        switch (labelling->review(accept, reason, &error)) {
        case LabellingSession::ReviewResult::Done:
            keys->showNote(typed, accept ? Tavrelin::tr("已审核") : Tavrelin::tr("已退回"));
            break;
        case LabellingSession::ReviewResult::NoReviews:
            keys->showNote(typed, Tavrelin::tr("只有团队的数据集可以审核"));
            break;
        case LabellingSession::ReviewResult::NoRow:
            keys->showNote(typed, Tavrelin::tr("此图片尚无保存的标签，无可审核"));
            break;
        case LabellingSession::ReviewResult::Unsaved:
            keys->showNote(typed, Tavrelin::tr("请先保存或撤销对标签的更改，再审核"));
            break;
        case LabellingSession::ReviewResult::Refused:
            keys->showNote(typed, error);
            break;
        }
    };
    keys->bind({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A)}, [judge] { judge(true); });
    keys->bind({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R)}, [judge] { judge(false); });
}

// Why the shown image was sent back to this window's annotator stays said
// beside the label buttons while it is shown, until it is saved again.
void showSentBackReason(const LabellingSession *labelling, QWidget *anchor)
{
    UndoNote *note = UndoNote::of(anchor);
    const auto follow = [labelling, note] {
        const QString reason = labelling->sentBackReason();
        note->stand(reason.isEmpty() ? QString() : Tavrelin::tr("已退回：%1").arg(reason));
    };
    const WindowActivity *activity = labelling->activity();
    QObject::connect(activity, &WindowActivity::currentImageChanged, note, follow);
    QObject::connect(activity, &WindowActivity::rowSaved, note, follow);
    QObject::connect(activity, &WindowActivity::annotationsReloaded, note, follow);
}

} // namespace

void Tavrelin::setupKeys(QAction *loadAction, QPushButton *jumpButton,
                         QPushButton *saveAndPreviousButton, QPushButton *saveAndNextButton)
{
    // No control may take text: an input method would turn the letters of a
    // code into composed text before they arrived as keys.
    annotationList->setAttribute(Qt::WA_InputMethodEnabled, false);

    auto *keys = new LabelKeys(this);
    labelKeys = keys;
    bindCodes(keys, this, labelButtons, labels);
    showBesideLabelButtons(keys, labellingSession->activity(), labelButtons.first());
    // A box that a key opens does not take the keys typed right after it.
    FreshBoxKeys::guardApplication();

    clickOnKeys(keys, this, nextButton, {QKeySequence(Qt::Key_Right)});
    clickOnKeys(keys, this, previousButton, {QKeySequence(Qt::Key_Left)});
    clickOnKeys(keys, this, saveAndNextButton,
                {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter),
                 QKeySequence(Qt::CTRL | Qt::Key_Right)},
                nextButton);
    clickOnKeys(keys, this, saveAndPreviousButton, {QKeySequence(Qt::CTRL | Qt::Key_Left)},
                previousButton);
    clickOnKeys(keys, this, jumpButton, {QKeySequence(Qt::CTRL | Qt::Key_J)});

    // The menu shows the key beside the action's text.
    const QKeySequence loadKey(Qt::CTRL | Qt::Key_O);
    loadAction->setShortcut(loadKey);
    keys->bind({loadKey}, [loadAction] { loadAction->trigger(); });

    keys->bind({QKeySequence(Qt::CTRL | Qt::Key_S)}, [this] { saveAnnotations(); });

    keys->bind({QKeySequence(Qt::Key_Delete), QKeySequence(Qt::Key_Backspace)}, [this] {
        // The selected row, or with none the label given last (the list
        // keeps the order of giving). A row can be current without being
        // selected (the focus or a Ctrl+click leaves it so): that row is not
        // what the person pointed at, so it counts as none.
        const QList<QListWidgetItem *> selected = annotationList->selectedItems();
        if (!selected.isEmpty())
            deleteAnnotation(selected.first());
        else if (annotationList->count() > 0)
            deleteAnnotation(annotationList->item(annotationList->count() - 1));
    });

    keys->bind({QKeySequence(Qt::CTRL | Qt::Key_U)}, [this] { goToNextUnmarkedImage(); });

    // Labelling a folder with gaps: saved as save-and-next saves, then on to
    // the next image the annotation file does not mark, as Ctrl+U goes. A
    // save that fails stays on the image; with nothing unsaved it only goes.
    keys->bind({QKeySequence(Qt::SHIFT | Qt::Key_Return), QKeySequence(Qt::SHIFT | Qt::Key_Enter)},
               [this] {
                   if (!labellingSession->hasUnsaved() || tell(labellingSession->save()))
                       goToNextUnmarkedImage();
               });

    bindSuggestionKeys(keys);
    bindReviewKeys(keys, this);
    showSentBackReason(labellingSession, labelButtons.first());

    // F1 opens the sheet of every key of every window.
    keys->bind({QKeySequence(Qt::Key_F1)}, [this] { KeysSheet::open(this, labels); });

    attachSideWindows();
}

// The model's suggestions: S gives the current image the suggested labels
// it lacks (after O, F or I it completes a code instead); Ctrl+I goes to the
// unmarked image the model is least sure of, and Ctrl+Shift+Return saves
// first, as Shift+Return does before Ctrl+U's move.
void Tavrelin::bindSuggestionKeys(LabelKeys *keys)
{
    keys->bind({QKeySequence(Qt::Key_S)}, [this, keys] {
        switch (labellingSession->acceptSuggestions()) {
        case LabellingSession::Acceptance::NoPrediction:
            keys->showNote(keys->typedIn(), tr("暂无模型建议"));
            break;
        case LabellingSession::Acceptance::NoneSuggested:
            keys->showNote(keys->typedIn(), tr("模型无建议标签"));
            break;
        case LabellingSession::Acceptance::Given:
        case LabellingSession::Acceptance::NothingNew:
            break;
        }
    });
    keys->bind({QKeySequence(Qt::CTRL | Qt::Key_I)}, [this] { goToLeastSureImage(); });
    keys->bind({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return),
                QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Enter)},
               [this] {
                   if (!labellingSession->hasUnsaved() || tell(labellingSession->save()))
                       goToLeastSureImage();
               });
}

void Tavrelin::attachSideWindows()
{
    // The dataset window (Ctrl+D) and the review keys (Alt+Right, Alt+Left);
    // Z opens the inspection view.
    DatasetFeature *dataset = DatasetFeature::attach(this, new StoreSource(labellingSession));
    InspectionOpener *inspection = InspectionView::attach(this);
    // Ctrl+Z, Ctrl+Shift+Z and Ctrl+Y take steps back and forth.
    UndoFeature *undo = UndoFeature::attach(this, labelButtons.first());
    annotationList->setToolTip(UndoKeys::tip());
    new SideOpeners(this, markCountLabel, imageLabel, dataset, inspection, undo);
}
