#pragma once

#include <QLockFile>
#include <QString>

#include <functional>

// Keeps the rewrites of one annotation file apart, also between processes:
// every save reads the whole file and writes it back, so two saves that
// overlap would each drop the other's new row. The lock is a file beside the
// annotation file, named after it with ".lock" appended, so that other tools
// can see it; it is removed when the holder lets go. A lock left behind by a
// process that no longer runs is taken over, and so is one that names no
// process at all (empty or unreadable: its holder died between creating it
// and writing it) once it is two seconds old. A lock that names a process
// still running is never taken over, however old.
class AnnotationLock
{
public:
    enum Result {
        Held,
        Busy,        // another process holds it and did not let go in time
        NotCreatable, // the folder does not let the lock file be created
        Failed        // any other failure, such as a folder that is gone
    };

    explicit AnnotationLock(const QString &annotationPath);

    // Waits up to five seconds for another holder to let go. `waiting`, when
    // given, is called before each new try, and ends the wait with Busy by
    // returning false.
    Result acquire(const std::function<bool()> &waiting = {});
    // The system's error of the try that failed, as errno gave it.
    int systemError() const { return error; }

private:
    bool removeIfNamesNoProcess();

    QString lockPath;
    QLockFile lockFile;
    int error = 0;
};
