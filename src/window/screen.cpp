// What the session shows through the window while its operations run: the
// picture, the two lines above it, the list of labels (a mirror of the
// session's), and the waits. A picture that takes seconds to decode comes
// later; until then the window works on the image as on any other.
#include "tavrelin.h"

#include "delayedprogress.h"
#include "labellingsession.h"
#include "remembered.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTextDocument>

void Tavrelin::showFolder(const QString &folder)
{
    Remembered::useImageFolder(folder);
    // Pictures still being prepared belong to the folder shown so far.
    pictures.clear();
    imageDirLabel->setText(tr("图片目录: %1").arg(QDir::toNativeSeparators(folder)));
}

bool Tavrelin::showPicture(const QString &path)
{
    imageLabel->clear();
    const auto decoded = [this, path](const QImage &image) {
        if (labellingSession->images().currentPath() != path)
            return;
        if (!image.isNull()) {
            imageLabel->setPixmap(QPixmap::fromImage(image));
            return;
        }
        imageLabel->clear();
        showPictureFailed(path);
        labellingSession->pictureFailed(path);
    };
    // Device pixels, so that a scaled screen shows the picture sharp.
    const std::optional<QImage> image =
        pictures.pictureOrLater(path, labellingSession->images().neighbourPaths(),
                                imageLabel->size(), devicePixelRatio(), decoded);
    if (image && image->isNull()) {
        showPictureFailed(path);
        return false;
    }
    if (image)
        imageLabel->setPixmap(QPixmap::fromImage(*image));
    else
        imageLabel->setText(tr("正在加载图像…"));
    for (QPushButton *button : std::as_const(labelButtons))
        button->setEnabled(true);
    enableNavigationButtons(true);
    return true;
}

void Tavrelin::showPictureFailed(const QString &path)
{
    QMessageBox::warning(this, tr("Error"), tr("未加载图像：") + path);
    enableNavigationButtons(false);
}

void Tavrelin::showName()
{
    const ImageSession &images = labellingSession->images();
    imageNameLabel->setText(tr("图片名称:%1(%2/%3)")
                                .arg(images.currentName(), QString::number(images.position() + 1),
                                     QString::number(images.count())));
    // A long name is cut off in the line; the tooltip shows it whole, and as
    // plain text even when the name looks like markup.
    const QString line = imageNameLabel->text();
    imageNameLabel->setToolTip(Qt::mightBeRichText(line) ? Qt::convertFromPlainText(line) : line);
}

void Tavrelin::showCounts()
{
    markCountLabel->setText(labellingSession->countText());
}

void Tavrelin::showLabelAdded(const QString &label)
{
    annotationList->insertItem(annotationList->count(), label);
}

void Tavrelin::showLabelRemoved(int row)
{
    delete annotationList->takeItem(row);
}

void Tavrelin::showLabels(const QStringList &labels)
{
    annotationList->clear();
    annotationList->addItems(labels);
}

// A team's server is waited for until it answers or the store gives up; a
// file's lock may be given up by the person.
std::unique_ptr<SessionWait> Tavrelin::startWaiting(SessionWait::Kind kind)
{
    switch (kind) {
    case SessionWait::ServerSave:
        return std::make_unique<DelayedProgress>(this, tr("正在保存到标签数据库…"));
    case SessionWait::ServerQuery:
        return std::make_unique<DelayedProgress>(this, tr("正在查询标签数据库…"));
    case SessionWait::FileLock:
        break;
    }
    return std::make_unique<DelayedProgress>(
        this, QCoreApplication::translate("LockWaiting", "正在等待其他程序释放标签文件…"),
        QCoreApplication::translate("LockWaiting", "取消"));
}
