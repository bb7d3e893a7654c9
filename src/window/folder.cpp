// Choosing the image folder. Every run lists the folder anew and starts at
// its first image; the annotation file stays the one named at start-up.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationstore.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>

void Tavrelin::loadImages()
{
    const ActedWhenDone acted(windowActivity);
    const QString folder = QFileDialog::getExistingDirectory(this, tr("选择图像目录"), QString(),
                                                             QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) {
        QMessageBox::warning(this, tr("Error"), tr("未选择任何目录"));
        return;
    }

    const QStringList found = ImageSession::listImages(folder);
    // A folder without images changes nothing: the folder shown so far, its
    // current image and its unsaved labels all stay usable.
    if (found.isEmpty()) {
        QMessageBox::warning(this, tr("Warning"), tr("在此目录中未找到相关文件"));
        return;
    }

    // Pictures still being prepared belong to the folder shown so far.
    pictures.clear();
    imageSession.open(folder, found);
    // Counted against the file as it is now, once.
    annotationStore->refresh();
    annotationStore->setListedNames(found);
    imageDirLabel->setText(tr("图片目录: %1").arg(QDir::toNativeSeparators(folder)));
    loadCurrentImage();
}
