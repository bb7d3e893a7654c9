// The window's side of the annotation file: the current image's stored
// labels, whether an image is marked, and saving the current image's row.
// The session asks the store; the window tells the person.
#include "tavrelin.h"

#include "labellingsession.h"

bool Tavrelin::isImageMarked(const QString &fileName)
{
    return labellingSession->isMarked(fileName);
}

void Tavrelin::loadAnnotationsFromCSV()
{
    tell(labellingSession->addStoredLabels());
}

void Tavrelin::saveCurrentAnnotations()
{
    tell(labellingSession->saveRow());
}
