// Choosing the image folder. Every run lists the folder anew and starts at
// its first image; the annotation file stays the one named at start-up.
#include "tavrelin.h"

#include "labellingsession.h"
#include "remembered.h"

#include <QFileDialog>
#include <QMessageBox>

void Tavrelin::loadImages()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("选择图像目录"), Remembered::imageFolder(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) {
        QMessageBox::warning(this, tr("Error"), tr("未选择任何目录"));
        return;
    }
    openFolder(folder);
}

// The windows beside this one hear of the new folder before the boxes.
void Tavrelin::openFolder(const QString &folder)
{
    Remembered::useImageFolder(folder);
    tell(labellingSession->openFolder(folder));
}
