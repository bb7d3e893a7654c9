// Choosing the image folder. Every run lists the folder anew and starts at
// its first image; the annotation file stays the one named at start-up.
#include "tavrelin.h"
#include "windowactivity.h"

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

    // Files only, hidden ones left out, patterns in any letter case; NoSort
    // falls back to the folder's own sort: by name, ignoring case.
    const QStringList patterns{QStringLiteral("*.png"), QStringLiteral("*.jpg"),
                               QStringLiteral("*.bmp")};
    const QStringList found = QDir(folder).entryList(patterns, QDir::Files, QDir::NoSort);
    // A folder without images changes nothing: the folder shown so far, its
    // current image and its unsaved labels all stay usable.
    if (found.isEmpty()) {
        QMessageBox::warning(this, tr("Warning"), tr("在此目录中未找到相关文件"));
        return;
    }

    // Pictures still being prepared belong to the folder shown so far.
    pictures.clear();
    imageFiles = found;
    imageDir = folder;
    imageDirLabel->setText(tr("图片目录: %1").arg(QDir::toNativeSeparators(imageDir)));
    currentIndex = 0;
    loadCurrentImage();
}
