#include "folderlisting.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {

const QStringList &patterns()
{
    static const QStringList list{QStringLiteral("*.png"), QStringLiteral("*.jpg"),
                                  QStringLiteral("*.bmp")};
    return list;
}

#ifdef Q_OS_UNIX
// The toolkit skips an entry whose name does not come back unchanged from
// decoding and encoding; only names with a byte beyond ASCII can fail that.
bool isDecodable(const QByteArray &name)
{
    const bool ascii = std::all_of(name.cbegin(), name.cend(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii || QFile::encodeName(QFile::decodeName(name)) == name;
}

// The listing's own rules, on the name's bytes: the patterns' endings are
// ASCII, so their letter case can be folded byte by byte.
bool looksLikeAnImage(const QByteArray &name)
{
    if (name.startsWith('.') || name.size() < 5)
        return false;
    const QByteArray ending = name.right(4).toLower();
    return ending == ".png" || ending == ".jpg" || ending == ".bmp";
}

int countUndecodable(const QString &folder)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return 0;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (isDecodable(name) || !looksLikeAnImage(name))
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

FolderListing listFolder(const QString &folder)
{
    FolderListing listing;
    // NoSort falls back to the folder's own sort: by name, ignoring case.
    listing.names = QDir(folder).entryList(patterns(), QDir::Files, QDir::NoSort);
#ifdef Q_OS_UNIX
    listing.undecodable = countUndecodable(folder);
#endif
    return listing;
}
