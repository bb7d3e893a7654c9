// The labels of a step taken back or done again. The step says what the list
// held and whether it was saved; the window only shows it.
#include "tavrelin.h"
#include "windowactivity.h"

void Tavrelin::putBackLabels(const QStringList &labels, bool unsaved)
{
    const OneAction action(windowActivity);
    if (!imageSession.hasCurrent())
        return;
    currentAnnotations.clear();
    for (const QString &label : labels)
        currentAnnotations.append(label);
    windowActivity->noteLabels();
    setModified(unsaved);
    // A step that put a row back changed the counts.
    showMarkCounts();
}
