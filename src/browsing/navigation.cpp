// Moving between the listed images. Moving never saves: only the two
// save-and-move buttons save, before they move.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationfile.h"
#include "annotationformat.h"

#include <QMessageBox>
#include <QPushButton>

void Tavrelin::enableNavigationButtons(bool enable)
{
    previousButton->setEnabled(enable);
    nextButton->setEnabled(enable);
}

void Tavrelin::nextImage()
{
    const ActedWhenDone acted(windowActivity);
    if (currentIndex < imageFiles.size() - 1) {
        ++currentIndex;
        loadCurrentImage();
    } else {
        QMessageBox::information(this, tr("Warning"), tr("已是最后一张图片"));
    }
}

void Tavrelin::previousImage()
{
    const ActedWhenDone acted(windowActivity);
    if (currentIndex > 0) {
        --currentIndex;
        loadCurrentImage();
    } else {
        QMessageBox::information(this, tr("Warning"), tr("已是第一张图片"));
    }
}

void Tavrelin::jumpToLastMarkedImage()
{
    const ActedWhenDone acted(windowActivity);
    const AnnotationText file = AnnotationFile::read(savePath);
    if (file.status != AnnotationText::Read) {
        QMessageBox::warning(this, tr("Error"), tr("无法读取标签文件"));
        return;
    }

    // Only the last marked line counts; the header row never qualifies.
    const qsizetype line = AnnotationFormat::lastMarkedLine(file.lines);
    if (line < 0) {
        QMessageBox::information(this, tr("Info"), tr("没有标记的图片"));
        return;
    }

    const QString fileName = AnnotationFormat::firstField(file.lines.at(line)).toString();
    // A name that is not listed leaves the current image where it is, so that
    // its unsaved labels can still be saved under its own name.
    const qsizetype found = imageFiles.indexOf(fileName);
    if (found < 0) {
        QMessageBox::warning(this, tr("Error"), tr("未找到标记的图片"));
        return;
    }
    currentIndex = int(found);
    loadCurrentImage();
}
