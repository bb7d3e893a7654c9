// A key for a step goes to the session, which replays the step; what the
// replay has to tell is told as every operation's outcome is, then the note
// says what was taken back or done again.
#include "undofeature.h"

#include "labelkeys.h"
#include "labellingsession.h"
#include "labellingwindow.h"
#include "outcomeboxes.h"
#include "undokeys.h"
#include "undonote.h"

#include <QAction>
#include <QKeySequence>
#include <QWidget>

UndoFeature *UndoFeature::attach(LabellingWindow *window, QWidget *noteAnchor)
{
    auto *feature = new UndoFeature(window, noteAnchor);
    LabelKeys *keys = window->keys();
    keys->bind({UndoKeys::undo()}, [feature] { feature->undo(); });
    keys->bind(UndoKeys::redo(), [feature] { feature->redo(); });
    return feature;
}

UndoFeature::UndoFeature(LabellingWindow *window, QWidget *noteAnchor)
    : QObject(window->windowWidget())
    , window(window->windowWidget())
    , labelling(window->labelling())
    , note(UndoNote::of(noteAnchor))
{
}

void UndoFeature::undo()
{
    take(false);
}

void UndoFeature::redo()
{
    take(true);
}

void UndoFeature::take(bool forth)
{
    const LabellingSession::StepOutcome taken = forth ? labelling->redo() : labelling->undo();
    tellOutcome(window, taken.outcome);
    if (taken.taken)
        note->show(noteText(*taken.taken, forth));
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
    case UndoStep::Accepted:
        return forth ? tr("已重做：采纳建议") : tr("已撤销：采纳建议");
    case UndoStep::Dropped:
        break;
    }
    return forth ? tr("已重做：恢复丢弃的标签") : tr("已撤销：恢复丢弃的标签");
}

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
