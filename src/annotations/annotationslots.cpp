// The window's side of the annotation file: reading the current image's
// labels and whether an image is marked, and writing the current image's row.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationfile.h"
#include "annotationformat.h"
#include "lockwaiting.h"

#include <QDebug>
#include <QListWidget>
#include <QMessageBox>

bool Tavrelin::isImageMarked(const QString &fileName)
{
    const AnnotationText file = AnnotationFile::read(savePath);
    const qsizetype row = AnnotationFormat::findRow(file.lines, fileName);
    return row >= 0 && AnnotationFormat::hasSetFlag(file.lines.at(row));
}

void Tavrelin::loadAnnotationsFromCSV()
{
    showStoredAnnotations(AnnotationFile::read(savePath));
}

// Appends the labels that `file` stores for the current image to
// currentAnnotations and the list, named by the file's own header row.
void Tavrelin::showStoredAnnotations(const AnnotationText &file)
{
    if (file.status == AnnotationText::Missing) {
        qDebug() << "未找到标签文件.";
        return;
    }
    if (file.status == AnnotationText::Unreadable) {
        QMessageBox::warning(this, tr("Error"), tr("打开标签文件失败."));
        return;
    }
    if (file.lines.isEmpty() || currentIndex < 0 || currentIndex >= imageFiles.size())
        return;

    const qsizetype row = AnnotationFormat::findRow(file.lines, imageFiles.at(currentIndex), 1);
    if (row < 0)
        return;
    const QStringList stored = AnnotationFormat::labelsOfRow(file.lines.first(), file.lines.at(row));
    for (const QString &label : stored) {
        currentAnnotations.append(label);
        annotationList->insertItem(annotationList->count(), label);
    }
}

void Tavrelin::saveCurrentAnnotations()
{
    storeCurrentAnnotations();
}

// Writes the current image's row and tells the person when it could not;
// returns whether the row is now in the file.
bool Tavrelin::storeCurrentAnnotations()
{
    const ActedWhenDone acted(windowActivity);
    if (currentIndex < 0 || currentIndex >= imageFiles.size()) {
        QMessageBox::warning(this, tr("Error"), tr("没有当前图片，无法保存"));
        return false;
    }

    using AnnotationFile::SaveResult;
    const char *refusal = nullptr;
    QStringList written;
    SaveResult result;
    {
        // Copies: the window paints, and its timers run, while the save waits.
        const QString fileName = imageFiles.at(currentIndex);
        const QStringList annotations = currentAnnotations;
        LockWaiting waiting(this);
        result = AnnotationFile::saveRow(savePath, fileName, labels, annotations, &written,
                                         [&waiting] { return waiting.keepWaiting(); });
    }
    switch (result) {
    case SaveResult::Saved:
        // A save that does not move (at either end of the list) must still
        // count the row it has just written.
        showMarkCounts(written);
        return true;
    case SaveResult::NameNotStorable:
        refusal = QT_TR_NOOP("图片名称含有逗号、换行或以引号开头，无法保存");
        break;
    case SaveResult::CannotOpen:
        refusal = QT_TR_NOOP("无法打开用于保存注释的文件");
        break;
    case SaveResult::NotText:
        refusal = QT_TR_NOOP("标签文件不是 UTF-8 文本，未保存");
        break;
    case SaveResult::ForeignHeader:
        refusal = QT_TR_NOOP("标签文件的表头与标签目录不一致，未保存");
        break;
    case SaveResult::WriteFailed:
        refusal = QT_TR_NOOP("保存标签文件失败");
        break;
    case SaveResult::Locked:
        refusal = QT_TR_NOOP("标签文件正被其他程序使用，未保存");
        break;
    case SaveResult::CannotCreateInFolder:
        refusal = QT_TR_NOOP("无法在标签文件所在目录中创建文件，未保存");
        break;
    case SaveResult::DiskFull:
        refusal = QT_TR_NOOP("磁盘空间不足，标签文件未保存");
        break;
    }
    QMessageBox::warning(this, tr("Error"), tr(refusal));
    return false;
}
