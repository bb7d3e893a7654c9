// The window's side of the annotation file: showing the current image's
// stored labels, whether an image is marked, and saving the current image's
// row. The store answers; the window tells the person.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationsource.h"
#include "lockwaiting.h"

#include <QDebug>
#include <QMessageBox>

bool Tavrelin::isImageMarked(const QString &fileName)
{
    annotationStore->refresh();
    return annotationStore->isMarked(fileName);
}

void Tavrelin::loadAnnotationsFromCSV()
{
    annotationStore->refresh();
    showStoredAnnotations();
}

// Appends the labels that the file stores for the current image, named by
// the file's own header row, to the current labels.
void Tavrelin::showStoredAnnotations()
{
    if (annotationStore->status() == AnnotationText::Missing) {
        qDebug() << "未找到标签文件.";
        return;
    }
    if (annotationStore->status() == AnnotationText::Unreadable) {
        QMessageBox::warning(this, tr("Error"), tr("打开标签文件失败."));
        return;
    }
    if (!imageSession.hasCurrent())
        return;
    const QStringList stored = annotationStore->storedLabels(imageSession.currentName());
    for (const QString &label : stored)
        currentAnnotations.append(label);
}

void Tavrelin::saveCurrentAnnotations()
{
    storeCurrentAnnotations();
}

// Writes the current image's row and tells the person when it could not;
// returns whether the row is now in the file.
bool Tavrelin::storeCurrentAnnotations()
{
    const OneAction action(windowActivity);
    if (!imageSession.hasCurrent()) {
        QMessageBox::warning(this, tr("Error"), tr("没有当前图片，无法保存"));
        return false;
    }

    using AnnotationFile::SaveResult;
    const char *refusal = nullptr;
    SaveResult result;
    {
        // Copies: the window paints, and its timers run, while the save waits.
        const QString fileName = imageSession.currentName();
        const QStringList annotations = currentAnnotations.texts();
        LockWaiting waiting(this);
        result = annotationStore->saveRow(fileName, annotations,
                                          [&waiting] { return waiting.keepWaiting(); });
    }
    switch (result) {
    case SaveResult::Saved:
        windowActivity->noteRowSaved(imageSession.position());
        // A save that does not move (at either end of the list) must still
        // count the row it has just written.
        showMarkCounts();
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
