#include "annotationlock.h"

#include <QFileInfo>

// A save holds the lock for a few milliseconds, even on a file of 100,000
// rows; a holder that keeps it this long is stuck or is some other tool.
static constexpr int waitMilliseconds = 3000;

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

AnnotationLock::Result AnnotationLock::acquire()
{
    if (lockFile.tryLock(waitMilliseconds))
        return Held;
    switch (lockFile.error()) {
    case QLockFile::LockFailedError:
        return Busy;
    case QLockFile::PermissionError:
        return NotCreatable;
    default:
        return Failed;
    }
}
