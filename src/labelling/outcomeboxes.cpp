#include "outcomeboxes.h"

#include "labelkeys.h"
#include "labellingsession.h"
#include "saverefusal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>

#include <optional>

namespace {

// The main window's texts, in its own translation context, and undo's.
struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(Tavrelin)
};
struct UndoTexts
{
    Q_DECLARE_TR_FUNCTIONS(UndoFeature)
};

void warn(QWidget *parent, const QString &title, const QString &message)
{
    QMessageBox::warning(parent, title, message);
}

// A notice that only informs: its box's title and text. A failure has no
// text, nor has the folder's unlisted files: images left out of the work are
// worth a box even after a key.
struct Information
{
    QString title;
    QString text;
};

Information informationOf(const SessionNotice &notice)
{
    switch (notice.kind) {
    case SessionNotice::NothingToChange:
        return {Texts::tr("Warning"), Texts::tr("无需更改")};
    case SessionNotice::FirstImage:
        return {Texts::tr("Warning"), Texts::tr("已是第一张图片")};
    case SessionNotice::LastImage:
        return {Texts::tr("Warning"), Texts::tr("已是最后一张图片")};
    case SessionNotice::NoMarkedImage:
        return {Texts::tr("Info"), Texts::tr("没有标记的图片")};
    case SessionNotice::NoUnmarkedAfter:
        return {Texts::tr("Info"), Texts::tr("后面没有未标记的图片")};
    default:
        return {};
    }
}

// The notices that are always a box: failures, and the unlisted files.
void tellInABox(QWidget *parent, const SessionNotice &notice)
{
    switch (notice.kind) {
    case SessionNotice::LabelsUnreadable:
        return warn(parent, Texts::tr("Error"), Texts::tr("打开标签文件失败."));
    case SessionNotice::Unlisted:
        QMessageBox::information(
            parent, Texts::tr("Info"),
            Texts::tr("有 %1 个图片文件的名称不是 UTF-8 编码，未列出").arg(notice.count));
        return;
    case SessionNotice::NoImages:
        return warn(parent, Texts::tr("Warning"), Texts::tr("在此目录中未找到相关文件"));
    case SessionNotice::NoCurrentImage:
        return warn(parent, Texts::tr("Error"), Texts::tr("没有当前图片，无法保存"));
    case SessionNotice::SaveRefused:
        return warn(parent, Texts::tr("Error"), saveRefusal(notice.result));
    case SessionNotice::FileUnreadable:
        return warn(parent, Texts::tr("Error"), Texts::tr("无法读取标签文件"));
    case SessionNotice::MarkedNotListed:
        return warn(parent, Texts::tr("Error"), Texts::tr("未找到标记的图片"));
    case SessionNotice::Unreachable:
        return warn(parent, Texts::tr("Error"), Texts::tr("无法连接标签数据库：") + notice.detail);
    case SessionNotice::ImageGone:
        return warn(parent, UndoTexts::tr("Warning"),
                    UndoTexts::tr("图片 %1 已不在图片目录中").arg(notice.detail));
    default:
        return;
    }
}

// The labels as the dataset window lists them: the catalogue's entries, in
// its order, which the person reads against the list beside the picture.
QString conflictText(const SessionNotice &notice)
{
    const QString when = QDateTime::fromMSecsSinceEpoch(notice.savedAt)
                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString what =
        notice.labels.isEmpty() ? Texts::tr("无标签") : notice.labels.join(QStringLiteral(", "));
    return Texts::tr("此图片的标签已由 %1 于 %2 保存：%3").arg(notice.detail, when, what);
}

// Asks how to settle a save refused as a Conflict; nothing for 取消, which
// is also what Esc and Return give: the labels stay as typed.
std::optional<LabellingSession::ConflictChoice> askConflict(QWidget *parent,
                                                            const SessionNotice &notice)
{
    using Choice = LabellingSession::ConflictChoice;
    QMessageBox box(QMessageBox::Warning, Texts::tr("Warning"), conflictText(notice),
                    QMessageBox::Save | QMessageBox::SaveAll | QMessageBox::Discard
                        | QMessageBox::Cancel,
                    parent);
    box.button(QMessageBox::Save)->setText(Texts::tr("覆盖"));
    box.button(QMessageBox::SaveAll)->setText(Texts::tr("合并"));
    box.button(QMessageBox::Discard)->setText(Texts::tr("采用对方"));
    box.button(QMessageBox::Cancel)->setText(Texts::tr("取消"));
    box.setDefaultButton(QMessageBox::Cancel);
    box.setEscapeButton(QMessageBox::Cancel);
    box.exec();
    switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Save:
        return Choice::Overwrite;
    case QMessageBox::SaveAll:
        return Choice::Merge;
    case QMessageBox::Discard:
        return Choice::TakeTheirs;
    default:
        return std::nullopt;
    }
}

qsizetype conflictAt(const SessionOutcome &outcome)
{
    for (qsizetype i = 0; i < outcome.notices.size(); ++i) {
        if (outcome.notices.at(i).kind == SessionNotice::Conflict)
            return i;
    }
    return -1;
}

} // namespace

SessionOutcome tellAndSettle(QWidget *parent, LabellingSession *session,
                             const SessionOutcome &outcome, const LabelKeys *keys)
{
    SessionOutcome current = outcome;
    // A choice's save may be refused in turn, by a save newer still.
    for (qsizetype at = conflictAt(current); at >= 0 && session; at = conflictAt(current)) {
        const SessionNotice conflict = current.notices.at(at);
        const SessionOutcome before{current.done, current.notices.mid(0, at)};
        const SessionOutcome after{current.done, current.notices.mid(at + 1)};
        tellOutcome(parent, before, keys);
        const auto choice = askConflict(parent, conflict);
        tellOutcome(parent, after, keys);
        if (!choice)
            return current;
        current = session->settleConflict(*choice);
    }
    tellOutcome(parent, current, keys);
    return current;
}

void tellOutcome(QWidget *parent, const SessionOutcome &outcome, const LabelKeys *keys)
{
    QWidget *typedIn = keys ? keys->typedIn() : nullptr;
    for (const SessionNotice &notice : outcome.notices) {
        // Only ever a note, in the main window when no key started it.
        if (notice.kind == SessionNotice::ChangedElsewhere) {
            if (keys)
                keys->showNote(typedIn ? typedIn : parent->window(),
                               Texts::tr("%1 已更改此图片的标签").arg(notice.detail));
            continue;
        }
        const Information information = informationOf(notice);
        if (information.text.isEmpty())
            tellInABox(parent, notice);
        else if (typedIn)
            keys->showNote(typedIn, information.text);
        else
            QMessageBox::information(parent, information.title, information.text);
    }
}
