#include "outcomeboxes.h"

#include "labelkeys.h"
#include "saverefusal.h"

#include <QCoreApplication>
#include <QMessageBox>

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
    case SessionNotice::Conflict:
        return warn(parent, Texts::tr("Warning"),
                    Texts::tr("此图片的标签已由 %1 保存，标签未保存，再次保存将覆盖").arg(notice.detail));
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

} // namespace

void tellOutcome(QWidget *parent, const SessionOutcome &outcome, const LabelKeys *keys)
{
    QWidget *typedIn = keys ? keys->typedIn() : nullptr;
    for (const SessionNotice &notice : outcome.notices) {
        const Information information = informationOf(notice);
        if (information.text.isEmpty())
            tellInABox(parent, notice);
        else if (typedIn)
            keys->showNote(typedIn, information.text);
        else
            QMessageBox::information(parent, information.title, information.text);
    }
}
