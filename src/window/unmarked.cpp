// Resuming a folder that is labelled with gaps: going to the next image that
// the annotation file does not mark, by the rule that the count line uses.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationsource.h"

#include <QMessageBox>

void Tavrelin::goToNextUnmarkedImage()
{
    const OneAction action(windowActivity);
    if (!imageSession.hasCurrent())
        return;

    // A file that cannot be read marks nothing, as for the counts.
    annotationStore->refresh();
    // A move like a view button's: it neither saves nor clears the flag.
    if (imageSession.moveTo(annotationStore->nextUnmarked(imageSession.position())))
        loadCurrentImage();
    else
        QMessageBox::information(this, tr("Info"), tr("后面没有未标记的图片"));
}
