#include "annotationfile.h"

#include "annotationformat.h"
#include "annotationlock.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace AnnotationFile {

// Far beyond any real annotation file (100,000 rows take about 4 MiB).
static constexpr qint64 largestReadable = qint64(512) * 1024 * 1024;

// Only a regular file of sane size is ever opened: a FIFO would block the
// window, a device such as /dev/zero would be read until memory runs out.
// Links are followed.
static bool isReadableKind(const QFileInfo &info)
{
    return info.isFile() && info.size() <= largestReadable;
}

AnnotationText::Status readBytes(const QString &path, QByteArray *bytes)
{
    const QFileInfo info(path);
    if (!info.exists())
        return AnnotationText::Missing;
    QFile file(path);
    if (!isReadableKind(info) || !file.open(QIODevice::ReadOnly))
        return AnnotationText::Unreadable;
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return AnnotationText::Unreadable;
    *bytes = std::move(content);
    return AnnotationText::Read;
}

// Root may write anywhere, so a file that nobody may write is taken as
// protected on purpose even when the process could write it.
static bool isWriteProtected(const QFileInfo &info)
{
    const QFileDevice::Permissions anyWrite =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    return !info.isWritable() || !(info.permissions() & anyWrite);
}

// Checked before the lock is taken, and again, with the content, once it is held.
bool mayReplace(const QString &path)
{
    const QFileInfo info(path);
    return !info.exists() || (isReadableKind(info) && !isWriteProtected(info));
}

// The rename that put the new file in place is on disk only once its folder
// is: without this a power loss could bring back the old file.
static bool syncFolderOf(const QString &path)
{
#ifdef Q_OS_UNIX
    const QString target = QFileInfo(path).canonicalFilePath();
    const QByteArray folder = QFile::encodeName(QFileInfo(target).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Some file systems cannot sync a folder; they say so with EINVAL.
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
#else
    Q_UNUSED(path);
    return true;
#endif
}

// The error of the last system call, taken right after it failed, tells a
// full disk apart from other failures; a failure that left no such trace is
// still a full disk when the folder has no block or no inode left for us.
bool isDiskFull(const QString &path, int error)
{
#ifdef Q_OS_UNIX
    if (error == ENOSPC || error == EDQUOT)
        return true;
    struct statvfs room {};
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::statvfs(folder.constData(), &room) != 0)
        return false;
    // A file system that counts no inodes (btrfs) shows zero of them free.
    return (room.f_blocks > 0 && room.f_bavail == 0) || (room.f_files > 0 && room.f_favail == 0);
#else
    Q_UNUSED(path);
    Q_UNUSED(error);
    return false;
#endif
}

// The new content goes to a temporary file beside the old one, which it
// replaces only once it is written whole: the old file is never truncated.
// Every byte is written straight to the file and synced before the rename,
// so a disk that fills up fails the save here: a buffered write whose late
// flush fails would otherwise let the rename put a short file in place.
SaveResult writeContent(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return isDiskFull(path, errno) ? SaveResult::DiskFull : SaveResult::CannotCreateInFolder;

#ifdef Q_OS_UNIX
    const int fd = file.handle();
    const char *rest = content.constData();
    qint64 left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, rest, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const int error = written < 0 ? errno : ENOSPC;
            file.cancelWriting();
            return isDiskFull(path, error) ? SaveResult::DiskFull : SaveResult::WriteFailed;
        }
        rest += written;
        left -= written;
    }
    // Some file systems give room only when the data reaches the disk.
    if (::fsync(fd) != 0) {
        const int error = errno;
        file.cancelWriting();
        return isDiskFull(path, error) ? SaveResult::DiskFull : SaveResult::WriteFailed;
    }
#else
    if (file.write(content) != content.size() || !file.flush()) {
        file.cancelWriting();
        return SaveResult::WriteFailed;
    }
#endif
    if (!file.commit() || !syncFolderOf(path))
        return SaveResult::WriteFailed;
    return SaveResult::Saved;
}

SaveResult underLock(const QString &path, const std::function<SaveResult()> &rewrite,
                     const std::function<bool()> &waiting)
{
    AnnotationLock lock(path);
    switch (lock.acquire(waiting)) {
    case AnnotationLock::Held:
        break;
    case AnnotationLock::Busy:
        return SaveResult::Locked;
    case AnnotationLock::NotCreatable:
        return SaveResult::CannotCreateInFolder;
    case AnnotationLock::Failed:
        return isDiskFull(path, lock.systemError()) ? SaveResult::DiskFull : SaveResult::CannotOpen;
    }
    return rewrite();
}

} // namespace AnnotationFile
