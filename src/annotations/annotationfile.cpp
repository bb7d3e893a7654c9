#include "annotationfile.h"

#include "annotationformat.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

namespace AnnotationFile {

AnnotationText read(const QString &path)
{
    AnnotationText text;
    QFile file(path);
    if (!file.exists())
        return text;
    if (!file.open(QIODevice::ReadOnly)) {
        text.status = AnnotationText::Unreadable;
        return text;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        text.status = AnnotationText::Unreadable;
        return text;
    }

    // Stateless: a sequence cut off at the end is an error, not a pending state.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    text.status = AnnotationText::Read;
    text.isEmpty = bytes.isEmpty();
    text.isText = !decoder.hasError() && !bytes.contains('\0');
    text.lines = AnnotationFormat::splitLines(decoded);
    return text;
}

// Root may write anywhere, so a file that nobody may write is taken as
// protected on purpose even when the process could write it.
static bool isWriteProtected(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    const QFileDevice::Permissions anyWrite =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    return !info.isWritable() || !(info.permissions() & anyWrite);
}

static SaveResult writeWhole(const QString &path, const QStringList &lines)
{
    QSaveFile file(path);
    // Only where the folder does not let a temporary file be created.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return SaveResult::CannotOpen;

    QByteArray content;
    for (const QString &line : lines) {
        content += line.toUtf8();
        content += '\n';
    }
    if (file.write(content) != content.size() || !file.commit())
        return SaveResult::WriteFailed;
    return SaveResult::Saved;
}

SaveResult saveRow(const QString &path, const QString &fileName, const QStringList &labels,
                   const QStringList &annotations)
{
    if (!AnnotationFormat::canHoldName(fileName))
        return SaveResult::NameNotStorable;

    const AnnotationText existing = read(path);
    if (existing.status == AnnotationText::Unreadable || isWriteProtected(path))
        return SaveResult::CannotOpen;
    if (!existing.isText)
        return SaveResult::NotText;

    const QString header = AnnotationFormat::headerRow(labels);
    QStringList lines = existing.lines;
    if (existing.isEmpty) {
        lines.append(header);
    } else if (!lines.isEmpty()
               && AnnotationFormat::firstField(lines.first())
                      == AnnotationFormat::nameColumnTitle()
               && lines.first() != header) {
        return SaveResult::ForeignHeader;
    }

    // The first line takes part in the search: a file without a header may
    // begin with this image's row.
    qsizetype row = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (AnnotationFormat::isRowOf(lines.at(i), fileName))
            row = i;
    }
    const QString newRow = AnnotationFormat::buildRow(fileName, labels, annotations);
    if (row >= 0)
        lines[row] = newRow;
    else
        lines.append(newRow);

    AnnotationFormat::sortDataRows(lines);
    return writeWhole(path, lines);
}

} // namespace AnnotationFile
