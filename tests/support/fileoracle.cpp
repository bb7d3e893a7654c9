// The tests' oracle: the annotation file's rules written a second, plain
// way, on whole lines (read the file, find the name's row, replace or add
// it, sort, write everything). The store answers and saves from its own
// index; the tests and the benchmarks compare it with this.
#include "fileoracle.h"

#include "annotationformat.h"

#include <QStringDecoder>

#include <algorithm>

namespace FileOracle {

using AnnotationFile::mayReplace;
using AnnotationFile::readBytes;
using AnnotationFile::underLock;
using AnnotationFile::writeContent;

AnnotationText read(const QString &path)
{
    AnnotationText text;
    QByteArray bytes;
    text.status = readBytes(path, &bytes);
    if (text.status != AnnotationText::Read)
        return text;

    // Stateless: a sequence cut off at the end is an error, not a pending state.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    text.isText = !decoder.hasError() && !bytes.contains('\0');
    text.lines = AnnotationFormat::splitLines(decoded);
    return text;
}

static SaveResult writeWhole(const QString &path, const QStringList &lines)
{
    QByteArray content;
    for (const QString &line : lines) {
        content += line.toUtf8();
        content += '\n';
    }
    return writeContent(path, content);
}

// A file that holds nothing or nothing but line ends gets a header.
static bool holdsNoLine(const QStringList &lines)
{
    return std::all_of(lines.cbegin(), lines.cend(),
                       [](const QString &line) { return line.isEmpty(); });
}

SaveResult rewriteRow(const QString &path, const QString &fileName, const QStringList &labels,
                      const QStringList &annotations, QStringList *written)
{
    const AnnotationText existing = read(path);
    if (existing.status == AnnotationText::Unreadable || !mayReplace(path))
        return SaveResult::CannotOpen;
    if (!existing.isText)
        return SaveResult::NotText;

    const QString header = AnnotationFormat::headerRow(labels);
    QStringList lines = existing.lines;
    if (holdsNoLine(lines))
        lines = QStringList{header};
    else if (lines.first() != header)
        return SaveResult::ForeignHeader;

    // The row that the readers show: the first data row of the name. Later
    // rows of the name stay as they are.
    const qsizetype row = AnnotationFormat::findRow(lines, fileName, 1);
    const QString newRow = AnnotationFormat::buildRow(fileName, labels, annotations);
    if (row >= 0)
        lines[row] = newRow;
    else
        lines.append(newRow);

    AnnotationFormat::sortDataRows(lines);
    const SaveResult result = writeWhole(path, lines);
    if (result == SaveResult::Saved && written)
        *written = std::move(lines);
    return result;
}

SaveResult saveRow(const QString &path, const QString &fileName, const QStringList &labels,
                   const QStringList &annotations, QStringList *written)
{
    if (!AnnotationFormat::canHoldName(fileName))
        return SaveResult::NameNotStorable;
    if (!mayReplace(path))
        return SaveResult::CannotOpen;
    return underLock(path, [&] { return rewriteRow(path, fileName, labels, annotations, written); });
}

} // namespace FileOracle
