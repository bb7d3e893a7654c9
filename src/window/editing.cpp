// Editing and saving the current image's labels, as the session does it.
#include "tavrelin.h"

#include "labellingsession.h"

#include <QListWidget>

void Tavrelin::annotate(const QString &label)
{
    labellingSession->give(label);
}

void Tavrelin::deleteAnnotation(QListWidgetItem *item)
{
    if (item)
        labellingSession->removeAt(annotationList->row(item));
}

void Tavrelin::saveAnnotations()
{
    tell(labellingSession->save());
}
