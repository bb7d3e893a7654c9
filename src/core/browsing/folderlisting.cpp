#include "folderlisting.h"

#include "imagesession.h"

#include <QByteArray>
#include <QFile>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {

#ifdef Q_OS_UNIX
int countUndecodable(const QString &folder)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return 0;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        // The listing takes every image name that is valid UTF-8, a leading
        // byte-order mark included, as QDir does.
        if (name.isValidUtf8() || !isImageName(name))
            continue;
        // Files only, as the listing takes them: a link counts by its target.
        struct stat info {};
        if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode))
            ++count;
    }
    ::closedir(dir);
    return count;
}
#endif

} // namespace

// The endings are ASCII, so their letter case can be folded byte by byte.
bool isImageName(QByteArrayView name)
{
    if (name.startsWith('.') || name.size() < 5 || name[name.size() - 4] != '.')
        return false;
    const QByteArray suffix = name.last(3).toByteArray().toLower();
    return suffix == "png" || suffix == "jpg" || suffix == "bmp";
}

FolderListing listFolder(const QString &folder)
{
    FolderListing listing;
    listing.names = ImageSession::listImages(folder);
#ifdef Q_OS_UNIX
    listing.undecodable = countUndecodable(folder);
#endif
    return listing;
}
