#include "outcomeboxes.h"

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

void inform(QWidget *parent, const QString &title, const QString &message)
{
    QMessageBox::information(parent, title, message);
}

void tellNotice(QWidget *parent, const SessionNotice &notice)
{
    switch (notice.kind) {
    case SessionNotice::LabelsUnreadable:
        return warn(parent, Texts::tr("Error"), Texts::tr("打开标签文件失败."));
    case SessionNotice::NoImages:
        return warn(parent, Texts::tr("Warning"), Texts::tr("在此目录中未找到相关文件"));
    case SessionNotice::Unlisted:
        return inform(parent, Texts::tr("Info"),
                      Texts::tr("有 %1 个图片文件的名称不是 UTF-8 编码，未列出").arg(notice.count));
    case SessionNotice::NothingToChange:
        return inform(parent, Texts::tr("Warning"), Texts::tr("无需更改"));
    case SessionNotice::NoCurrentImage:
        return warn(parent, Texts::tr("Error"), Texts::tr("没有当前图片，无法保存"));
    case SessionNotice::Conflict:
        return warn(parent, Texts::tr("Warning"),
                    Texts::tr("此图片的标签已由 %1 保存，标签未保存，再次保存将覆盖").arg(notice.detail));
    case SessionNotice::SaveRefused:
        return warn(parent, Texts::tr("Error"), saveRefusal(notice.result));
    case SessionNotice::FirstImage:
        return inform(parent, Texts::tr("Warning"), Texts::tr("已是第一张图片"));
    case SessionNotice::LastImage:
        return inform(parent, Texts::tr("Warning"), Texts::tr("已是最后一张图片"));
    case SessionNotice::FileUnreadable:
        return warn(parent, Texts::tr("Error"), Texts::tr("无法读取标签文件"));
    case SessionNotice::NoMarkedImage:
        return inform(parent, Texts::tr("Info"), Texts::tr("没有标记的图片"));
    case SessionNotice::MarkedNotListed:
        return warn(parent, Texts::tr("Error"), Texts::tr("未找到标记的图片"));
    case SessionNotice::Unreachable:
        return warn(parent, Texts::tr("Error"), Texts::tr("无法连接标签数据库：") + notice.detail);
    case SessionNotice::NoUnmarkedAfter:
        return inform(parent, Texts::tr("Info"), Texts::tr("后面没有未标记的图片"));
    case SessionNotice::ImageGone:
        return warn(parent, UndoTexts::tr("Warning"),
                    UndoTexts::tr("图片 %1 已不在图片目录中").arg(notice.detail));
    }
}

} // namespace

void tellOutcome(QWidget *parent, const SessionOutcome &outcome)
{
    for (const SessionNotice &notice : outcome.notices)
        tellNotice(parent, notice);
}
