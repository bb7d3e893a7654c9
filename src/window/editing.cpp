// Editing the current image's labels. The labels live in the list on screen
// (currentAnnotations) until a save writes them; annotationsModified says
// whether there is anything to write.
#include "tavrelin.h"
#include "windowactivity.h"

#include <QDebug>
#include <QMessageBox>

void Tavrelin::annotate(const QString &label)
{
    const OneAction action(windowActivity);
    if (currentAnnotations.contains(label))
        return;
    currentAnnotations.append(label);
    windowActivity->noteLabels();
    setModified(true);
}

void Tavrelin::deleteAnnotation(QListWidgetItem *item)
{
    const OneAction action(windowActivity);
    if (!item)
        return;
    const QString label = currentAnnotations.remove(item);
    windowActivity->noteLabels();
    setModified(true);
    qDebug() << "Annotation removed:" << label;
}

void Tavrelin::saveAnnotations()
{
    saveModifiedAnnotations();
}

// Saves the labels when they changed. False only when they changed and could
// not be written: they then stay on screen and flagged, so that the person can
// mend the cause and save again, and a save-and-move must not move.
bool Tavrelin::saveModifiedAnnotations()
{
    const OneAction action(windowActivity);
    if (!annotationsModified) {
        QMessageBox::information(this, tr("Warning"), tr("无需更改"));
        return true;
    }
    if (!storeCurrentAnnotations())
        return false;
    setModified(false);
    return true;
}

void Tavrelin::setModified(bool modified)
{
    annotationsModified = modified;
    windowActivity->noteUnsaved(modified);
}
