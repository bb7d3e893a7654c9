#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// A wait the session sits through while a store answers: for another
// program's lock on the annotation file, or for a team's server.
class SessionWait
{
public:
    enum Kind {
        FileLock,    // a save or a put-back waiting for the file's lock
        ServerSave,  // a save on a team's server
        ServerQuery, // the next unmarked image asked of a team's server
    };
    virtual ~SessionWait() = default;
    // Called before each new try; false ends the wait (a lock given up).
    virtual bool keepWaiting() = 0;
};

// What a store calls while it waits: nothing without a wait, which leaves
// the store to its own limits.
inline std::function<bool()> keepWaitingOn(SessionWait *wait)
{
    if (!wait)
        return {};
    return [wait] { return wait->keepWaiting(); };
}

// What a labelling session shows while an operation runs, at the moments the
// operation reaches: the window that presents the session implements it. The
// session works without one (a session in a test, or before a window is
// built); it then shows nothing and waits without telling.
class SessionScreen
{
public:
    virtual ~SessionScreen() = default;

    // A folder was listed anew; its first image is shown next.
    virtual void showFolder(const QString &folder) = 0;
    // The current image at `path` is to be shown; false when its picture
    // cannot be decoded, which the screen has told already.
    virtual bool showPicture(const QString &path) = 0;
    // The current image's name and position, and the marked counts.
    virtual void showName() = 0;
    virtual void showCounts() = 0;
    // The current labels, as they change: one added at the end, the one at
    // `row` taken away, or all of them anew.
    virtual void showLabelAdded(const QString &label) = 0;
    virtual void showLabelRemoved(int row) = 0;
    virtual void showLabels(const QStringList &labels) = 0;
    // A wait is starting; it ends when the result is destroyed.
    virtual std::unique_ptr<SessionWait> startWaiting(SessionWait::Kind kind) = 0;
};
