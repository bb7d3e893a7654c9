// Choosing the image folder. Every run lists the folder anew and starts at
// its first image; the annotation file stays the one named at start-up.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationstore.h"
#include "folderlisting.h"
#include "remembered.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
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

void Tavrelin::openFolder(const QString &folder)
{
    Remembered::useImageFolder(folder);
    const FolderListing listing = listFolder(folder);
    const QStringList &found = listing.names;
    // Told after the folder is shown, or after it is refused.
    const auto tellUnlisted = [this, &listing] {
        if (listing.undecodable > 0)
            QMessageBox::information(this, tr("Info"),
                                     tr("有 %1 个图片文件的名称不是 UTF-8 编码，未列出")
                                         .arg(listing.undecodable));
    };
    // A folder without images changes nothing: the folder shown so far, its
    // current image and its unsaved labels all stay usable.
    if (found.isEmpty()) {
        QMessageBox::warning(this, tr("Warning"), tr("在此目录中未找到相关文件"));
        tellUnlisted();
        return;
    }

    {
        // The windows beside this one hear of the new folder before the box.
        const OneAction action(windowActivity);
        // Pictures still being prepared belong to the folder shown so far.
        pictures.clear();
        imageSession.open(folder, found);
        // Counted against the file as it is now, once.
        annotationStore->refresh();
        annotationStore->setListedNames(found);
        imageDirLabel->setText(tr("图片目录: %1").arg(QDir::toNativeSeparators(folder)));
        loadCurrentImage();
    }
    tellUnlisted();
}
