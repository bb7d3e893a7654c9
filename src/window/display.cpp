// Showing the current image with its stored labels, its position and the
// marked and unmarked counts of the listed images.
#include "tavrelin.h"

#include "labellingsession.h"
#include "windowactivity.h"

void Tavrelin::loadCurrentImage()
{
    const OneAction action(activity());
    tell(labellingSession->showCurrent());
}

// Another window's save of a team's dataset shows at once: the count line,
// the row in the windows beside this one, and the current image's labels,
// unless they hold changes not saved yet, which stay as typed. Labels that
// are the image's stored row hold none, whatever the change flag kept
// across a move says (the store tells). An empty name stands for the whole
// dataset, read anew.
void Tavrelin::showSavedElsewhere(const QString &fileName)
{
    const OneAction action(activity());
    tell(labellingSession->followSavedElsewhere(fileName));
}
