#include "annotationfilesource.h"

#include "annotationfile.h"
#include "annotationformat.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// The facts of one line, split at every ","; empty fields count.
ImageFacts factsOfLine(QStringView line)
{
    ImageFacts facts;
    facts.hasRow = true;
    qsizetype start = line.indexOf(u',');
    for (int field = 1; start >= 0; ++field) {
        const qsizetype end = line.indexOf(u',', start + 1);
        const QStringView text = end < 0 ? line.sliced(start + 1)
                                         : line.sliced(start + 1, end - start - 1);
        if (text == u"1") {
            facts.marked = true;
            if (field <= DatasetIndex::catalogueSize)
                facts.flags |= 1u << (field - 1);
        }
        start = end;
    }
    return facts;
}

} // namespace

AnnotationFileSource::AnnotationFileSource(const QString &path, const QStringList &catalogue,
                                           std::function<QStringList()> listedNames,
                                           std::function<int()> currentIndex, QObject *parent)
    : DatasetSource(parent)
    , path(path)
    , labels(catalogue)
    , names(std::move(listedNames))
    , current(std::move(currentIndex))
{
}

QStringList AnnotationFileSource::catalogue() const
{
    return labels;
}

QStringList AnnotationFileSource::listedNames() const
{
    return names();
}

int AnnotationFileSource::currentIndex() const
{
    return current();
}

ImageFacts AnnotationFileSource::facts(const QString &fileName) const
{
    return rows.value(QStringView(fileName));
}

void AnnotationFileSource::refresh()
{
    const Signature now = look();
    if (read && now == seen)
        return;
    read = true;
    seen = now;
    rows.clear();
    // A file that cannot be read marks nothing, as for the count line.
    const AnnotationText file = AnnotationFile::read(path);
    lines = file.lines;
    rows.reserve(lines.size());
    // From the end, so that the first line of a name is the one left standing.
    for (auto line = lines.crbegin(); line != lines.crend(); ++line)
        rows.insert(AnnotationFormat::firstField(*line), factsOfLine(*line));
    emit reloaded();
}

AnnotationFileSource::Signature AnnotationFileSource::look() const
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {-1, 0, 0, 0, 0, 0};
    return {qint64(status.st_dev), qint64(status.st_ino), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
            qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec, 0};
#else
    const QFileInfo info(path);
    if (!info.exists())
        return {-1, 0, 0, 0, 0, 0};
    return {0, 0, info.size(), info.lastModified().toMSecsSinceEpoch(),
            info.metadataChangeTime().toMSecsSinceEpoch(), 0};
#endif
}
