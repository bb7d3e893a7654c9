// Labels asked for from the windows beside this one go through the same
// controls as the person's own clicks: giving clicks the label's button
// (nothing while it is disabled), removing is what a double-click on the
// label's row in the list does. Every rule and log line stays the same.
#include "tavrelin.h"

#include <QListWidget>
#include <QPushButton>

void Tavrelin::giveLabel(const QString &label)
{
    const qsizetype row = labels.indexOf(label);
    if (row >= 0)
        labelButtons.at(row)->click();
}

void Tavrelin::removeLabel(const QString &label)
{
    for (int row = 0; row < annotationList->count(); ++row) {
        QListWidgetItem *item = annotationList->item(row);
        if (item->text() == label) {
            deleteAnnotation(item);
            return;
        }
    }
}
