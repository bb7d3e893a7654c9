#pragma once

#include <QObject>
#include <QString>

// What the main window did, told to the windows beside it (the dataset
// window, the inspection view); the main window itself has no signals.
class WindowActivity final : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    // After every display of the current image, also one that failed:
    // `path` is the image's native path, `shown` false when it could not be
    // decoded.
    void imageShown(const QString &path, bool shown);
    // After every operation of the main window, whatever it changed or
    // refused: the labels, the change flag, the annotation file, the
    // position or nothing at all.
    void acted();
};

// Stands in an operation of the main window and tells `acted` when it ends,
// whichever way it returns.
class ActedWhenDone
{
public:
    explicit ActedWhenDone(WindowActivity *activity) : activity(activity) {}
    ~ActedWhenDone() { emit activity->acted(); }
    ActedWhenDone(const ActedWhenDone &) = delete;
    ActedWhenDone &operator=(const ActedWhenDone &) = delete;

private:
    WindowActivity *activity;
};
