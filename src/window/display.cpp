// Showing the current image with its stored labels, its position and the
// marked and unmarked counts of the listed images.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationstore.h"

#include <QDebug>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTextDocument>

void Tavrelin::loadCurrentImage()
{
    const OneAction action(windowActivity);
    if (!imageSession.hasCurrent())
        return;

    imageLabel->clear();
    const QString imagePath = imageSession.currentPath();
    qDebug() << "加载图像路径：" << imagePath;

    // A picture that takes seconds to decode comes later; until then the
    // window works on the image as on any other. Another display drops it.
    const auto failed = [this, imagePath] {
        QMessageBox::warning(this, tr("Error"), tr("未加载图像：") + imagePath);
        previousButton->setEnabled(false);
        nextButton->setEnabled(false);
    };
    const auto decoded = [this, imagePath, failed](const QImage &image) {
        if (imageSession.currentPath() != imagePath)
            return;
        if (!image.isNull()) {
            imageLabel->setPixmap(QPixmap::fromImage(image));
            return;
        }
        const OneAction action(windowActivity);
        imageLabel->clear();
        failed();
        windowActivity->noteImage(imagePath, false);
    };
    // Device pixels, so that a scaled screen shows the picture sharp.
    const std::optional<QImage> image =
        pictures.pictureOrLater(imagePath, imageSession.neighbourPaths(), imageLabel->size(),
                                devicePixelRatio(), decoded);
    if (image && image->isNull()) {
        failed();
        // What is shown, and what a save would write, must belong to the
        // image that is current now, not to the one shown before it.
        currentAnnotations.clear();
        loadAnnotationsFromCSV();
        showImageName();
        windowActivity->noteImage(imagePath, false);
        windowActivity->noteLabels();
        return;
    }

    if (image)
        imageLabel->setPixmap(QPixmap::fromImage(*image));
    else
        imageLabel->setText(tr("正在加载图像…"));

    // One look at the annotation file serves the labels and the counts.
    annotationStore->refresh();
    currentAnnotations.clear();
    showStoredAnnotations();

    for (QPushButton *button : std::as_const(labelButtons))
        button->setEnabled(true);
    previousButton->setEnabled(true);
    nextButton->setEnabled(true);
    showImageName();
    showMarkCounts();
    windowActivity->noteImage(imagePath, true);
    windowActivity->noteLabels();
}

void Tavrelin::showMarkCounts()
{
    const AnnotationFormat::MarkCounts counts = annotationStore->markCounts();
    markCountLabel->setText(tr("已标记: %1 | 未标记: %2").arg(counts.marked).arg(counts.unmarked));
}

void Tavrelin::showImageName()
{
    imageNameLabel->setText(tr("图片名称:%1(%2/%3)")
                                .arg(imageSession.currentName(),
                                     QString::number(imageSession.position() + 1),
                                     QString::number(imageSession.count())));
    // A long name is cut off in the line; the tooltip shows it whole, and as
    // plain text even when the name looks like markup.
    const QString line = imageNameLabel->text();
    imageNameLabel->setToolTip(Qt::mightBeRichText(line) ? Qt::convertFromPlainText(line) : line);
}

// Another window's save of a team's dataset shows at once: the count line,
// the row in the windows beside this one, and the current image's labels,
// unless they hold changes not saved yet, which stay as typed. Labels that
// are the image's stored row hold none, whatever the change flag kept
// across a move says (the store tells). An empty name stands for the whole
// dataset, read anew.
void Tavrelin::showSavedElsewhere(const QString &fileName)
{
    const OneAction action(windowActivity);
    showMarkCounts();
    const qsizetype position = annotationStore->listedPosition(fileName);
    if (position >= 0)
        windowActivity->noteRowSaved(position);
    if (!imageSession.hasCurrent() || (!fileName.isEmpty() && imageSession.currentName() != fileName))
        return;
    if (annotationsModified
        && !annotationStore->isStoredRow(imageSession.currentName(), currentAnnotations.texts()))
        return;
    currentAnnotations.clear();
    showStoredAnnotations();
    windowActivity->noteLabels();
}
