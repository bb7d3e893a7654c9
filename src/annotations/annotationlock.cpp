#include "annotationlock.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <cerrno>

// A save holds the lock for a few milliseconds, even on a file of 100,000
// rows; a holder that keeps it this long is stuck or is some other tool.
static constexpr int waitMilliseconds = 5000;
// A program that saves one row after another lets go of the lock only for
// a moment between two saves: a waiter that looked only now and then would
// never find it free.
static constexpr int retryMilliseconds = 2;

// The lock names the file that is rewritten: a link is followed, so that
// two windows reaching one file through different paths share one lock.
static QString lockPathFor(const QString &annotationPath)
{
    const QString target = QFileInfo(annotationPath).canonicalFilePath();
    return (target.isEmpty() ? annotationPath : target) + QStringLiteral(".lock");
}

AnnotationLock::AnnotationLock(const QString &annotationPath)
    : lockFile(lockPathFor(annotationPath))
{
}

AnnotationLock::Result AnnotationLock::acquire(const std::function<bool()> &waiting)
{
    const QDeadlineTimer deadline(waitMilliseconds);
    // Each try also takes over a lock whose holder no longer runs.
    errno = 0;
    while (!lockFile.tryLock(0)) {
        error = errno;
        switch (lockFile.error()) {
        case QLockFile::LockFailedError:
            if (deadline.hasExpired() || (waiting && !waiting()))
                return Busy;
            QThread::msleep(retryMilliseconds);
            break;
        case QLockFile::PermissionError:
            return NotCreatable;
        default:
            return Failed;
        }
    }
    return Held;
}
