#pragma once

#include <QObject>
#include <QString>

// What an operation of the labelling session changed, told to the windows
// beside the main window (the dataset window, the inspection view); the main
// window itself has no signals. Each signal comes at most once per
// operation, after the operation is over, however many nested steps it took:
// an operation is the outermost OneAction alive, and the session notes what
// changed while it runs. A reload of the store outside any operation (a
// window beside the main window looking at the file) is told at once.
class WindowActivity final : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // For the session, while an operation runs.
    void noteImage(const QString &path, bool shown);
    void noteLabels();
    void noteUnsaved(bool unsaved);
    void noteRowSaved(qsizetype position);
    void noteReloaded();

signals:
    // The annotation file was read anew: any image's row may have changed.
    void annotationsReloaded();
    // The current image's row was written; `position` is its place in the
    // list, also when the operation then moved on.
    void rowSaved(qsizetype position);
    // The current image was displayed: another one, or the same one again
    // (a new listing). `path` is its native path, `shown` false when it could
    // not be decoded.
    void currentImageChanged(const QString &path, bool shown);
    // The current image's labels changed: edited, or those of another image.
    void currentLabelsChanged();
    // The current labels became unsaved, or saved or dropped.
    void unsavedChanged(bool unsaved);

private:
    friend class OneAction;
    void begin() { ++depth; }
    void end();

    int depth = 0;
    bool reloaded = false;
    qsizetype savedPosition = -1;
    bool imageNoted = false;
    QString imagePath;
    bool imageShown = false;
    bool labelsNoted = false;
    bool unsaved = false;
    bool unsavedTold = false;
};

// Stands in an operation of the labelling session; when the outermost one
// ends, whichever way it returns, the notifier tells what the operation
// changed.
class OneAction final
{
public:
    explicit OneAction(WindowActivity *activity) : activity(activity) { activity->begin(); }
    ~OneAction() { activity->end(); }
    OneAction(const OneAction &) = delete;
    OneAction &operator=(const OneAction &) = delete;

private:
    WindowActivity *activity;
};
