#include "saverefusal.h"

#include <QCoreApplication>

namespace {

// The text of each refusal, untranslated; null for a save that wrote.
const char *refusalSource(SaveResult result)
{
    const char *refusal = nullptr;
    switch (result) {
    case SaveResult::Saved:
        return nullptr;
    case SaveResult::NameNotStorable:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "图片名称含有逗号、换行或以引号开头，无法保存");
        break;
    case SaveResult::CannotOpen:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "无法打开用于保存注释的文件");
        break;
    case SaveResult::NotText:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "标签文件不是 UTF-8 文本，未保存");
        break;
    case SaveResult::ForeignHeader:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "标签文件的表头与标签目录不一致，未保存");
        break;
    case SaveResult::WriteFailed:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "保存标签文件失败，标签未保存");
        break;
    case SaveResult::Locked:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "标签文件正被其他程序使用，未保存");
        break;
    case SaveResult::CannotCreateInFolder:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "无法在标签文件所在目录中创建文件，未保存");
        break;
    case SaveResult::DiskFull:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "磁盘空间不足，标签文件未保存");
        break;
    case SaveResult::RowChanged:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "此图片的标签已被其他程序更改，无法撤销");
        break;
    case SaveResult::Conflict: // told with the annotator's name, by the window
    case SaveResult::Unreachable:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "无法连接标签数据库，标签未保存");
        break;
    case SaveResult::Unconfirmed:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "无法确认标签是否已保存");
        break;
    case SaveResult::Held:
        refusal = QT_TRANSLATE_NOOP("Tavrelin", "此图片正由其他窗口使用，标签未保存");
        break;
    }
    return refusal;
}

} // namespace

QString saveRefusal(SaveResult result)
{
    return saveRefusal(result, "Tavrelin");
}

QString saveRefusal(SaveResult result, const char *context)
{
    const char *refusal = refusalSource(result);
    return refusal ? QCoreApplication::translate(context, refusal) : QString();
}
