#include "windowactivity.h"

#include <utility>

void WindowActivity::noteImage(const QString &path, bool shown)
{
    imageNoted = true;
    imagePath = path;
    imageShown = shown;
}

void WindowActivity::noteLabels()
{
    labelsNoted = true;
}

void WindowActivity::noteUnsaved(bool changed)
{
    unsaved = changed;
}

void WindowActivity::noteRowSaved(qsizetype position)
{
    savedPosition = position;
}

void WindowActivity::noteReloaded()
{
    if (depth == 0) {
        emit annotationsReloaded();
        return;
    }
    reloaded = true;
}

// The file first, then what is shown of it, so that a listener that follows
// the current image finds the file's state already taken in. Everything
// noted is taken before the first signal: a listener may start an operation.
void WindowActivity::end()
{
    if (--depth > 0)
        return;
    const bool tellReloaded = std::exchange(reloaded, false);
    const qsizetype saved = std::exchange(savedPosition, -1);
    const bool tellImage = std::exchange(imageNoted, false);
    const QString path = std::exchange(imagePath, QString());
    const bool shown = imageShown;
    const bool tellLabels = std::exchange(labelsNoted, false);
    const bool tellUnsaved = unsaved != unsavedTold;
    unsavedTold = unsaved;

    if (tellReloaded)
        emit annotationsReloaded();
    if (saved >= 0)
        emit rowSaved(saved);
    if (tellImage)
        emit currentImageChanged(path, shown);
    if (tellLabels)
        emit currentLabelsChanged();
    if (tellUnsaved)
        emit unsavedChanged(unsavedTold);
}
