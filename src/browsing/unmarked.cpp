// Resuming a folder that is labelled with gaps: going to the next image that
// the annotation file does not mark, by the rule that the count line uses.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationfile.h"
#include "annotationformat.h"

#include <QMessageBox>

void Tavrelin::goToNextUnmarkedImage()
{
    const ActedWhenDone acted(windowActivity);
    if (currentIndex < 0 || currentIndex >= imageFiles.size())
        return;

    // A file that cannot be read marks nothing, as for the counts.
    const AnnotationText file = AnnotationFile::read(savePath);
    const QHash<QStringView, bool> marked = AnnotationFormat::markedByName(file.lines);
    for (qsizetype i = currentIndex + 1; i < imageFiles.size(); ++i) {
        if (!marked.value(QStringView(imageFiles.at(i)), false)) {
            // A move like a view button's: it neither saves nor clears the flag.
            currentIndex = int(i);
            loadCurrentImage();
            return;
        }
    }
    QMessageBox::information(this, tr("Info"), tr("后面没有未标记的图片"));
}
