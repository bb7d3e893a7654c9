// Moving between the listed images. Moving never saves: only the two
// save-and-move buttons save, before they move.
#include "tavrelin.h"

#include "labellingsession.h"
#include "windowactivity.h"

#include <QPushButton>

void Tavrelin::enableNavigationButtons(bool enable)
{
    previousButton->setEnabled(enable);
    nextButton->setEnabled(enable);
}

// The boxes come within the operation, before the windows beside this one
// hear of it.
void Tavrelin::nextImage()
{
    const OneAction action(activity());
    tell(labellingSession->next());
}

void Tavrelin::previousImage()
{
    const OneAction action(activity());
    tell(labellingSession->previous());
}

void Tavrelin::jumpToLastMarkedImage()
{
    const OneAction action(activity());
    tell(labellingSession->jumpToLastMarked());
}

// Resuming a folder that is labelled with gaps: the next image that the
// store does not mark, by the rule that the count line uses.
void Tavrelin::goToNextUnmarkedImage()
{
    const OneAction action(activity());
    tell(labellingSession->nextUnmarked());
}

// Verifying the model's proposals where they help most: the unmarked image
// it is least sure of, or as Ctrl+U while it has predicted none.
void Tavrelin::goToLeastSureImage()
{
    const OneAction action(activity());
    tell(labellingSession->nextLeastSure());
}
