// The window's side of the annotation file: showing the current image's
// stored labels, whether an image is marked, and saving the current image's
// row. The store answers; the window tells the person.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationstore.h"
#include "lockwaiting.h"
#include "saverefusal.h"
#include "serverwaiting.h"

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
    annotationStore->showing(imageSession.currentName());
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

    SaveResult result;
    {
        // Copies: the window paints, and its timers run, while the save waits.
        const QString fileName = imageSession.currentName();
        const QStringList annotations = currentAnnotations.texts();
        // A team's server is waited for; a file's lock may be given up.
        if (annotationStore->knowsWhoSaved()) {
            ServerWaiting waiting(this, tr("正在保存到标签数据库…"));
            result = annotationStore->saveRow(fileName, annotations,
                                              [&waiting] { return waiting.keepWaiting(); });
        } else {
            LockWaiting waiting(this);
            result = annotationStore->saveRow(fileName, annotations,
                                              [&waiting] { return waiting.keepWaiting(); });
        }
    }
    if (result == SaveResult::Conflict) {
        // The labels stay as typed; the same save again overwrites.
        QMessageBox::warning(this, tr("Warning"), tr("此图片的标签已由 %1 保存，标签未保存，再次保存将覆盖")
                                                      .arg(annotationStore->refusalDetail()));
        showMarkCounts();
        return false;
    }
    if (result != SaveResult::Saved) {
        QMessageBox::warning(this, tr("Error"), saveRefusal(result));
        return false;
    }
    windowActivity->noteRowSaved(imageSession.position());
    // A save that does not move (at either end of the list) must still count
    // the row it has just written.
    showMarkCounts();
    return true;
}
