#include "annotationfile.h"

#include "annotationformat.h"
#include "annotationlock.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>
#include <memory>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
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
// On failure the temporary file is gone.
static SaveResult writeSynced(QSaveFile &file, const QByteArray &content)
{
    const QString path = file.fileName();
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
    return SaveResult::Saved;
}

SaveResult writeContent(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    const SaveResult written = writeSynced(file, content);
    if (written != SaveResult::Saved)
        return written;
    if (!file.commit() || !syncFolderOf(path))
        return SaveResult::WriteFailed;
    return SaveResult::Saved;
}

// The file that a save to `path` replaces: QSaveFile writes through links.
static QString replacedPath(const QString &path)
{
    QFileInfo info(path);
    for (int depth = 0; depth < 128 && info.isSymLink(); ++depth)
        info.setFile(info.symLinkTarget());
    return info.filePath();
}

// A second name beside `path` for the file there, so that it can be put back;
// empty when there is no file. A hard link leaves the file in place; where
// the file system has none, the file is moved aside until its successor
// comes. `*failed` is set when neither can be done.
static QString keepAside(const QString &path, bool *failed)
{
    if (!QFileInfo::exists(path))
        return QString();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString aside = path + u".old-"_qs
            + QString::number(QRandomGenerator::global()->generate(), 36);
        if (QFileInfo::exists(aside) || QFileInfo(aside).isSymLink())
            continue;
#ifdef Q_OS_UNIX
        if (::link(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0)
            return aside;
#endif
        if (QFile::rename(path, aside))
            return aside;
        break;
    }
    *failed = true;
    return QString();
}

// Gives every target back what it held before: the files put in place (the
// first `placed`) are replaced by the ones kept aside or removed.
static void putBack(const QStringList &targets, const QStringList &asides, qsizetype placed)
{
    for (qsizetype k = 0; k < asides.size(); ++k) {
        const QByteArray target = QFile::encodeName(targets.at(k));
        if (!asides.at(k).isEmpty()) {
            // Over its own hard link a rename does nothing: the name is removed after.
            ::rename(QFile::encodeName(asides.at(k)).constData(), target.constData());
            QFile::remove(asides.at(k));
        } else if (k < placed) {
            QFile::remove(targets.at(k));
        }
    }
}

static SaveResult putInPlace(std::vector<std::unique_ptr<QSaveFile>> &files, qsizetype *failedAt)
{
    QStringList targets;
    QStringList asides;
    bool failed = false;
    for (const auto &file : files) {
        targets.append(replacedPath(file->fileName()));
        asides.append(keepAside(targets.last(), &failed));
        if (failed) {
            *failedAt = asides.size() - 1;
            putBack(targets, asides, 0);
            return SaveResult::WriteFailed;
        }
    }
    for (qsizetype i = 0; i < qsizetype(files.size()); ++i) {
        if (!files[std::size_t(i)]->commit() || !syncFolderOf(targets.at(i))) {
            *failedAt = i;
            putBack(targets, asides, i + 1);
            return SaveResult::WriteFailed;
        }
    }
    for (const QString &aside : std::as_const(asides)) {
        if (!aside.isEmpty())
            QFile::remove(aside);
    }
    return SaveResult::Saved;
}

// Every file is written whole and synced beside its target before the first
// one is put in place, so that a full disk at any of them changes none.
SaveResult writeContents(const QStringList &paths, const QList<QByteArray> &contents,
                         qsizetype *failedAt)
{
    std::vector<std::unique_ptr<QSaveFile>> files;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        files.push_back(std::make_unique<QSaveFile>(paths.at(i)));
        const SaveResult written = writeSynced(*files.back(), contents.at(i));
        if (written != SaveResult::Saved) {
            *failedAt = i;
            return written;
        }
    }
    return putInPlace(files, failedAt);
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
