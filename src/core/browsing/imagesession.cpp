#include "imagesession.h"

#include "folderlisting.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

namespace {

// The names of a folder side by side in one buffer, each with its sort key
// (the name in lower case) in another: a million separate strings would be
// slow to sort and to free.
struct NameBuffer
{
    QString names;
    QString keys;
    std::vector<std::pair<qsizetype, qsizetype>> nameSpans; // start, length
    std::vector<std::pair<qsizetype, qsizetype>> keySpans;

    qsizetype size() const { return qsizetype(nameSpans.size()); }

    void append(QByteArrayView utf8)
    {
        const qsizetype start = names.size();
        const qsizetype keyStart = keys.size();
        const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return uchar(c) < 0x80; });
        if (ascii) {
            // What QString::toLower() gives for ASCII.
            char lower[256];
            const qsizetype size = std::min<qsizetype>(utf8.size(), sizeof lower);
            for (qsizetype k = 0; k < size; ++k)
                lower[k] = utf8[k] >= 'A' && utf8[k] <= 'Z' ? char(utf8[k] + ('a' - 'A')) : utf8[k];
            names += QLatin1StringView(utf8.data(), utf8.size());
            if (size == utf8.size())
                keys += QLatin1StringView(lower, size);
            else
                keys += QStringView(names).sliced(start).toString().toLower();
        } else {
            // A leading byte-order mark is part of the name, as QDir reads
            // it: QString::fromUtf8() would drop it and list the file under
            // the name of another.
            names += QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless
                                                          | QStringDecoder::Flag::ConvertInitialBom)(utf8);
            keys += QStringView(names).sliced(start).toString().toLower();
        }
        nameSpans.emplace_back(start, names.size() - start);
        keySpans.emplace_back(keyStart, keys.size() - keyStart);
    }

    std::u16string_view key(qsizetype i) const
    {
        return std::u16string_view(reinterpret_cast<const char16_t *>(keys.constData())
                                       + keySpans[i].first,
                                   std::size_t(keySpans[i].second));
    }
};

// QDir sorts its entries with std::sort, in the folder's own order, comparing
// the names in lower case. The same sort with a comparison that always agrees
// with that one takes the same steps, so names equal in lower case also end
// up as QDir leaves them.
QStringList sortedLikeQDir(const NameBuffer &found)
{
    const qsizetype count = found.size();
    // Eight code units of each key after the part that every key shares (the
    // "IMG_" of a camera folder), kept beside its index, so that most
    // comparisons stay in the array being sorted.
    std::size_t shared = count == 0 ? 0 : found.key(0).size();
    for (qsizetype i = 1; i < count && shared > 0; ++i) {
        const std::u16string_view other = found.key(i);
        std::size_t same = 0;
        while (same < shared && same < other.size() && other[same] == found.key(0)[same])
            ++same;
        shared = same;
    }
    // The name's place in the buffer rides along, so that taking the names
    // in sorted order reads the buffer only.
    struct Entry
    {
        quint64 high = 0;
        quint64 low = 0;
        qsizetype index = 0;
        qsizetype nameStart = 0;
        qsizetype nameLength = 0;
    };
    std::vector<Entry> order(count);
    for (qsizetype i = 0; i < count; ++i) {
        const std::u16string_view units = found.key(i);
        const auto unit = [&](std::size_t k) -> quint64 {
            return shared + k < units.size() ? units[shared + k] : 0;
        };
        order[i].index = i;
        order[i].nameStart = found.nameSpans[i].first;
        order[i].nameLength = found.nameSpans[i].second;
        order[i].high = unit(0) << 48 | unit(1) << 32 | unit(2) << 16 | unit(3);
        order[i].low = unit(4) << 48 | unit(5) << 32 | unit(6) << 16 | unit(7);
    }
    std::sort(order.begin(), order.end(), [&](const Entry &a, const Entry &b) {
        if (a.high != b.high)
            return a.high < b.high;
        if (a.low != b.low)
            return a.low < b.low;
        return found.key(a.index) < found.key(b.index);
    });
    // The names are read in sorted order, all over the buffer: each is asked
    // for a little ahead of its turn.
    constexpr qsizetype ahead = 16;
    QStringList sorted;
    sorted.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        if (i + ahead < count)
            __builtin_prefetch(found.names.constData() + order[i + ahead].nameStart);
        sorted.append(QString(found.names.constData() + order[i].nameStart, order[i].nameLength));
    }
    return sorted;
}

} // namespace

// The folder is read the way QDir reads it, without the file information that
// QDir keeps of every entry (a gigabyte for a million images): the entries in
// the order the system gives them, names that are not UTF-8 passed over, the
// type taken from the entry and, for a link or an unknown type, from the
// file it leads to. Sorting that sequence with QDir's comparison gives QDir's
// order.
QStringList ImageSession::listImages(const QString &folder)
{
    const QByteArray folderPath = QFile::encodeName(folder);
    DIR *directory = ::opendir(folderPath.constData());
    if (!directory)
        return QStringList();

    NameBuffer found;
    while (const dirent *entry = ::readdir(directory)) {
        const QByteArrayView name(entry->d_name);
        if (!isImageName(name) || !name.isValidUtf8())
            continue;
        bool isFile = entry->d_type == DT_REG;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            const QByteArray path = folderPath + '/' + name.toByteArray();
            isFile = ::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode);
        }
        if (isFile)
            found.append(name);
    }
    ::closedir(directory);
    return sortedLikeQDir(found);
}

void ImageSession::open(const QString &folder, const QStringList &names)
{
    imageDir = folder;
    imageFiles = names;
    currentIndex = names.isEmpty() ? -1 : 0;
    ++listingNumber;
}

QString ImageSession::currentName() const
{
    return hasCurrent() ? imageFiles.at(currentIndex) : QString();
}

QString ImageSession::currentPath() const
{
    return pathAt(currentIndex);
}

QString ImageSession::pathAt(qsizetype index) const
{
    if (!isListed(index))
        return QString();
    return QDir::toNativeSeparators(imageDir + u'/' + imageFiles.at(index));
}

QStringList ImageSession::neighbourPaths() const
{
    QStringList neighbours;
    for (const int neighbour : {currentIndex + 1, currentIndex - 1}) {
        if (hasCurrent() && isListed(neighbour))
            neighbours.append(pathAt(neighbour));
    }
    return neighbours;
}

bool ImageSession::next()
{
    return moveTo(qsizetype(currentIndex) + 1);
}

bool ImageSession::previous()
{
    return currentIndex > 0 && moveTo(currentIndex - 1);
}

bool ImageSession::moveTo(qsizetype index)
{
    if (!isListed(index))
        return false;
    currentIndex = int(index);
    return true;
}
