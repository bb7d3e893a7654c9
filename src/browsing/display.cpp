// Showing the image at currentIndex with its stored labels, its position and
// the marked and unmarked counts of the listed images.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationfile.h"
#include "annotationformat.h"

#include <QDebug>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTextDocument>

void Tavrelin::loadCurrentImage()
{
    const ActedWhenDone acted(windowActivity);
    if (currentIndex < 0 || currentIndex >= imageFiles.size())
        return;

    imageLabel->clear();
    const QString imagePath =
        QDir::toNativeSeparators(imageDir + u'/' + imageFiles.at(currentIndex));
    qDebug() << "加载图像路径：" << imagePath;

    QStringList neighbours;
    for (const int neighbour : {currentIndex + 1, currentIndex - 1}) {
        if (neighbour >= 0 && neighbour < imageFiles.size())
            neighbours.append(QDir::toNativeSeparators(imageDir + u'/' + imageFiles.at(neighbour)));
    }
    // Device pixels, so that a scaled screen shows the picture sharp.
    const QImage image =
        pictures.picture(imagePath, neighbours, imageLabel->size(), devicePixelRatio());
    if (image.isNull()) {
        QMessageBox::warning(this, tr("Error"), tr("未加载图像：") + imagePath);
        previousButton->setEnabled(false);
        nextButton->setEnabled(false);
        // What is shown, and what a save would write, must belong to the
        // image that is current now, not to the one shown before it.
        currentAnnotations.clear();
        annotationList->clear();
        loadAnnotationsFromCSV();
        showImageName();
        emit windowActivity->imageShown(imagePath, false);
        return;
    }

    imageLabel->setPixmap(QPixmap::fromImage(image));

    // One read of the annotation file serves the labels and the counts.
    const AnnotationText file = AnnotationFile::read(savePath);
    currentAnnotations.clear();
    annotationList->clear();
    showStoredAnnotations(file);

    for (QPushButton *button : std::as_const(labelButtons))
        button->setEnabled(true);
    previousButton->setEnabled(true);
    nextButton->setEnabled(true);
    showImageName();
    showMarkCounts(file.lines);
    emit windowActivity->imageShown(imagePath, true);
}

void Tavrelin::showMarkCounts(const QStringList &lines)
{
    const AnnotationFormat::MarkCounts counts = AnnotationFormat::countMarked(lines, imageFiles);
    markCountLabel->setText(tr("已标记: %1 | 未标记: %2").arg(counts.marked).arg(counts.unmarked));
}

void Tavrelin::showImageName()
{
    imageNameLabel->setText(tr("图片名称:%1(%2/%3)")
                                .arg(imageFiles.at(currentIndex),
                                     QString::number(currentIndex + 1),
                                     QString::number(imageFiles.size())));
    // A long name is cut off in the line; the tooltip shows it whole, and as
    // plain text even when the name looks like markup.
    const QString line = imageNameLabel->text();
    imageNameLabel->setToolTip(Qt::mightBeRichText(line) ? Qt::convertFromPlainText(line) : line);
}
