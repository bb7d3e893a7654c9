// Steps are told apart by what the main window shows after each of its
// operations: the current image, its labels and the change flag. A display
// after which the labels that were shown differ from the image's row, while
// they were unsaved, dropped them; an operation that adds or removes one
// label on the same image is an edit; a save is told by the store with the
// row it replaced. While a step is taken back or done again, nothing of what
// it does is a step of its own.
#include "undofeature.h"

#include "annotationstore.h"
#include "labelkeys.h"
#include "lockwaiting.h"
#include "saverefusal.h"
#include "tavrelin.h"
#include "undokeys.h"
#include "undonote.h"
#include "windowactivity.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QChildEvent>
#include <QKeySequence>
#include <QMessageBox>
#include <QScopeGuard>

#include <utility>


namespace {

// A row holds flags, not the order in which the labels were given.
bool sameLabels(QStringList a, QStringList b)
{
    a.sort();
    b.sort();
    return a == b;
}

} // namespace

UndoFeature *UndoFeature::attach(Tavrelin *window, QWidget *noteAnchor)
{
    auto *feature = new UndoFeature(window, noteAnchor);
    LabelKeys *keys = window->keys();
    keys->bind({UndoKeys::undo()}, [feature] { feature->undo(); });
    keys->bind(UndoKeys::redo(), [feature] { feature->redo(); });
    return feature;
}

UndoFeature::UndoFeature(Tavrelin *window, QWidget *noteAnchor)
    : QObject(window)
    , window(window)
    , note(UndoNote::of(noteAnchor))
{
    // Told after each operation: the display first, then the labels and the
    // change flag.
    const WindowActivity *activity = window->activity();
    connect(activity, &WindowActivity::currentImageChanged, this, [this] {
        displayed = true;
        follow();
    });
    connect(activity, &WindowActivity::currentLabelsChanged, this, &UndoFeature::follow);
    connect(activity, &WindowActivity::unsavedChanged, this, &UndoFeature::follow);
    // Told while the save runs, with the labels it saved still shown.
    connect(window->store(), &AnnotationStore::rowReplaced, this, &UndoFeature::takeSave);
    // The windows beside this one get the keys as they appear.
    window->installEventFilter(this);
    shown = shownNow();
}

UndoFeature::Shown UndoFeature::shownNow() const
{
    Shown now;
    now.folder = window->session().folder();
    now.image = window->session().currentName();
    const QAbstractItemModel *list = window->labelModel();
    for (int row = 0; row < list->rowCount(); ++row)
        now.labels.append(list->index(row, 0).data().toString());
    now.unsaved = window->hasUnsavedAnnotations();
    return now;
}

void UndoFeature::follow()
{
    if (replaying)
        return;
    const Shown now = shownNow();
    const Shown before = std::exchange(shown, now);
    if (std::exchange(displayed, false)) {
        if (before.image.isEmpty() || !before.unsaved
            || sameLabels(before.labels, window->store()->storedLabels(before.image)))
            return;
        UndoStep step;
        step.kind = UndoStep::Dropped;
        step.folder = before.folder;
        step.image = before.image;
        step.labelsBefore = before.labels;
        step.unsavedBefore = true;
        step.labelsAfter = now.labels;
        step.unsavedAfter = now.unsaved;
        step.targetFolder = now.folder;
        step.targetImage = now.image;
        steps.record(step);
        return;
    }
    if (now.image.isEmpty() || now.image != before.image || now.folder != before.folder
        || now.labels == before.labels)
        return;

    // One label added at the end, or one taken from its place.
    UndoStep step;
    const qsizetype kept = std::min(now.labels.size(), before.labels.size());
    qsizetype same = 0;
    while (same < kept && now.labels.at(same) == before.labels.at(same))
        ++same;
    if (now.labels.size() == before.labels.size() + 1 && same == before.labels.size()) {
        step.kind = UndoStep::Added;
        step.label = now.labels.last();
    } else if (now.labels.size() + 1 == before.labels.size()
               && now.labels.mid(same) == before.labels.mid(same + 1)) {
        step.kind = UndoStep::Removed;
        step.label = before.labels.at(same);
    } else {
        return;
    }
    step.folder = now.folder;
    step.image = now.image;
    step.labelsBefore = before.labels;
    step.labelsAfter = now.labels;
    step.unsavedBefore = before.unsaved;
    step.unsavedAfter = now.unsaved;
    steps.record(step);
}

void UndoFeature::takeSave(const QString &fileName, const QByteArray &before,
                           const QByteArray &after)
{
    if (replaying)
        return;
    // The window saves only the current image, and only changed labels.
    const Shown now = shownNow();
    if (now.image != fileName)
        return;
    UndoStep step;
    step.kind = UndoStep::Saved;
    step.folder = now.folder;
    step.image = fileName;
    step.labelsBefore = now.labels;
    step.labelsAfter = now.labels;
    step.unsavedBefore = true;
    step.unsavedAfter = false;
    step.rowBefore = before;
    step.rowAfter = after;
    steps.record(step);
}

void UndoFeature::undo()
{
    if (replaying || !steps.canUndo())
        return;
    const UndoStep step = steps.toUndo();
    if (!replay(step, false))
        return;
    steps.undone();
    note->show(noteText(step, false));
}

void UndoFeature::redo()
{
    if (replaying || !steps.canRedo())
        return;
    const UndoStep step = steps.toRedo();
    if (!replay(step, true))
        return;
    steps.redone();
    note->show(noteText(step, true));
}

bool UndoFeature::replay(const UndoStep &step, bool forth)
{
    replaying = true;
    const auto done = qScopeGuard([this] {
        replaying = false;
        displayed = false;
        shown = shownNow();
    });
    // One operation of the window, told when it ends, while still replaying.
    const OneAction action(window->activity());

    // Done again, a drop is the move that dropped the labels.
    if (forth && step.kind == UndoStep::Dropped)
        return showImage(step.targetFolder, step.targetImage, true);

    const QByteArray &expected = forth ? step.rowBefore : step.rowAfter;
    if (step.kind == UndoStep::Saved && !rowStillIs(step.image, expected))
        return false;
    if (!showImage(step.folder, step.image, false))
        return false;
    if (step.kind == UndoStep::Saved) {
        if (!putBack(step.image, expected, forth ? step.rowAfter : step.rowBefore))
            return false;
        window->activity()->noteRowSaved(window->session().position());
    }
    window->putBackLabels(forth ? step.labelsAfter : step.labelsBefore,
                          forth ? step.unsavedAfter : step.unsavedBefore);
    return true;
}

// Shows the image as a view step would; `reload` shows it anew also when it
// is current, dropping its unsaved labels.
bool UndoFeature::showImage(const QString &folder, const QString &image, bool reload)
{
    const ImageSession &session = window->session();
    if (session.folder() != folder) {
        window->openFolder(folder);
        // The folder was refused, and the person told why.
        if (session.folder() != folder)
            return false;
        reload = false;
    }
    if (!reload && session.currentName() == image)
        return true;
    const qsizetype position = window->store()->listedPosition(image);
    if (position < 0) {
        QMessageBox::warning(window, tr("Warning"), tr("图片 %1 已不在图片目录中").arg(image));
        return false;
    }
    window->moveTo(int(position));
    return true;
}

// Told before the image is shown: a step that cannot be taken changes nothing.
bool UndoFeature::rowStillIs(const QString &image, const QByteArray &row)
{
    AnnotationStore *store = window->store();
    store->refresh();
    // An unreadable file is for the save to refuse.
    if (store->status() == AnnotationText::Unreadable || store->row(image) == row)
        return true;
    QMessageBox::warning(window, tr("Error"), saveRefusal(SaveResult::RowChanged));
    return false;
}

bool UndoFeature::putBack(const QString &image, const QByteArray &expected,
                          const QByteArray &replacement)
{
    SaveResult result;
    {
        LockWaiting waiting(window);
        result = window->store()->putBackRow(image, expected, replacement,
                                             [&waiting] { return waiting.keepWaiting(); });
    }
    if (result == SaveResult::Saved)
        return true;
    QMessageBox::warning(window, tr("Error"), saveRefusal(result));
    return false;
}

QString UndoFeature::noteText(const UndoStep &step, bool forth)
{
    switch (step.kind) {
    case UndoStep::Added:
        return (forth ? tr("已重做：添加 %1") : tr("已撤销：添加 %1")).arg(step.label);
    case UndoStep::Removed:
        return (forth ? tr("已重做：删除 %1") : tr("已撤销：删除 %1")).arg(step.label);
    case UndoStep::Saved:
        return (forth ? tr("已重做：保存 %1") : tr("已撤销：保存 %1")).arg(step.image);
    case UndoStep::Dropped:
        break;
    }
    return forth ? tr("已重做：恢复丢弃的标签") : tr("已撤销：恢复丢弃的标签");
}

bool UndoFeature::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window && event->type() == QEvent::ChildPolished) {
        auto *child = qobject_cast<QWidget *>(static_cast<QChildEvent *>(event)->child());
        // Windows only, not dialogs: a key in a dialog must not change what
        // the dialog is about.
        if (child && child->windowType() == Qt::Window)
            equip(child);
    }
    return QObject::eventFilter(watched, event);
}

// Window shortcuts: a control that has the keys as its own, as a text field
// has Ctrl+Z, keeps them.
void UndoFeature::equip(QWidget *sideWindow)
{
    if (sideWindow->findChild<QAction *>(QStringLiteral("undoAction"), Qt::FindDirectChildrenOnly))
        return;
    const auto addAction = [this, sideWindow](const QString &name,
                                              const QList<QKeySequence> &keys,
                                              void (UndoFeature::*act)()) {
        auto *action = new QAction(sideWindow);
        action->setObjectName(name);
        action->setShortcuts(keys);
        connect(action, &QAction::triggered, this, act);
        sideWindow->addAction(action);
    };
    addAction(QStringLiteral("undoAction"), {UndoKeys::undo()}, &UndoFeature::undo);
    addAction(QStringLiteral("redoAction"), UndoKeys::redo(), &UndoFeature::redo);
}
