#include "annotationlock.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
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
    : lockPath(lockPathFor(annotationPath))
    , lockFile(lockPath)
{
    // Qt would take over any lock older than its stale time, also one whose
    // holder still runs; a dead holder is still found out without it.
    lockFile.setStaleLockTime(0);
}

// A holder writes its process id right after creating the lock, so a lock
// without one that is this old was left half made.
static constexpr qint64 halfMadeMilliseconds = 2000;

static bool namesAProcess(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool isNumber = false;
    const qint64 pid = file.readLine(32).trimmed().toLongLong(&isNumber);
    return isNumber && pid > 0;
}

static bool isOldAndNamesNoProcess(const QString &path)
{
    const QFileInfo info(path);
    const qint64 age = info.lastModified().msecsTo(QDateTime::currentDateTime());
    return info.exists() && qAbs(age) > halfMadeMilliseconds && !namesAProcess(path);
}

// Removed under the lock that Qt's own takeover of a stale lock holds, so
// that two processes never both remove it, the second one a lock the first
// has just made.
bool AnnotationLock::removeIfNamesNoProcess()
{
    if (!isOldAndNamesNoProcess(lockPath))
        return false;
    QLockFile removal(lockPath + QStringLiteral(".rmlock"));
    if (!removal.tryLock(0))
        return false;
    return isOldAndNamesNoProcess(lockPath) && QFile::remove(lockPath);
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
            if (removeIfNamesNoProcess())
                break;
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
