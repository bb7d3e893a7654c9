// Moving between the listed images. Moving never saves: only the two
// save-and-move buttons save, before they move.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationstore.h"

#include <QMessageBox>
#include <QPushButton>

void Tavrelin::enableNavigationButtons(bool enable)
{
    previousButton->setEnabled(enable);
    nextButton->setEnabled(enable);
}

void Tavrelin::nextImage()
{
    const OneAction action(windowActivity);
    if (imageSession.next())
        loadCurrentImage();
    else
        QMessageBox::information(this, tr("Warning"), tr("已是最后一张图片"));
}

void Tavrelin::previousImage()
{
    const OneAction action(windowActivity);
    if (imageSession.previous())
        loadCurrentImage();
    else
        QMessageBox::information(this, tr("Warning"), tr("已是第一张图片"));
}

void Tavrelin::jumpToLastMarkedImage()
{
    const OneAction action(windowActivity);
    annotationStore->refresh();
    if (annotationStore->status() != AnnotationText::Read) {
        QMessageBox::warning(this, tr("Error"), tr("无法读取标签文件"));
        return;
    }

    // Only the last marked line counts; the header row never qualifies.
    const std::optional<QString> fileName = annotationStore->lastMarkedName();
    if (!fileName) {
        QMessageBox::information(this, tr("Info"), tr("没有标记的图片"));
        return;
    }

    // A name that is not listed leaves the current image where it is, so that
    // its unsaved labels can still be saved under its own name.
    if (!imageSession.moveTo(annotationStore->listedPosition(*fileName))) {
        QMessageBox::warning(this, tr("Error"), tr("未找到标记的图片"));
        return;
    }
    loadCurrentImage();
}
