#include "teamtransfer.h"

#include "annotationfile.h"
#include "annotationformat.h"
#include "saverefusal.h"
#include "teamdatabase.h"

#include <QHash>
#include <QSet>
#include <QStringDecoder>
#include <QUuid>

namespace TeamTransfer {

namespace {

struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(TeamTransfer)
};

// A refusal of the file that an import reads or an export writes; the
// refusals of a save on the server do not arise there.
QString reasonOf(SaveResult result)
{
    switch (result) {
    case SaveResult::RowChanged:
    case SaveResult::Conflict:
    case SaveResult::Unreachable:
    case SaveResult::Unconfirmed:
        return QString();
    default:
        return saveRefusal(result, "TeamTransfer");
    }
}

// The file's lines, and whether it is UTF-8 text without a NUL byte.
AnnotationText readText(const QString &path)
{
    AnnotationText text;
    QByteArray bytes;
    text.status = AnnotationFile::readBytes(path, &bytes);
    if (text.status != AnnotationText::Read)
        return text;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    text.isText = !decoder.hasError() && !bytes.contains('\0');
    text.lines = AnnotationFormat::splitLines(decoded);
    return text;
}

// The file as a save finds it: missing (nothing to import), or a regular
// UTF-8 file that starts with the catalogue's header row or holds nothing.
SaveResult checkFile(const AnnotationText &text, const QStringList &catalogue)
{
    if (text.status == AnnotationText::Unreadable)
        return SaveResult::CannotOpen;
    if (!text.isText)
        return SaveResult::NotText;
    if (!text.lines.isEmpty() && text.lines.first() != AnnotationFormat::headerRow(catalogue))
        return SaveResult::ForeignHeader;
    return SaveResult::Saved;
}

QString unreachable(const QString &reason)
{
    return Texts::tr("无法连接标签数据库：") + reason;
}

// The readers' row of each name (the first one after the header) as image
// and flags. A name that a save would refuse refuses the whole import,
// naming the lines that hold such names (the first few), so that the
// dataset never takes in rows a save could not write back to a file.
QString readersRows(const QStringList &lines, const QStringList &catalogue,
                    QList<QPair<QString, quint32>> *rows)
{
    constexpr qsizetype linesNamed = 5;
    QStringList refusedLines;
    qsizetype refusedCount = 0;
    QSet<QStringView> seen;
    seen.reserve(lines.size());
    rows->reserve(lines.size());
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        const QStringView name = AnnotationFormat::firstField(line);
        if (name.isEmpty() || seen.contains(name))
            continue;
        seen.insert(name);
        const QString image = name.toString();
        if (!AnnotationFormat::canHoldName(image)) {
            if (++refusedCount <= linesNamed)
                refusedLines.append(QString::number(i + 1));
            continue;
        }
        // The fields as AnnotationFormat::splitFields() gives them, without
        // a string each: a million rows are read in a second.
        quint32 flags = 0;
        qsizetype k = -1;
        for (const QStringView field : QStringView(line).tokenize(u',')) {
            if (k >= 0 && k < catalogue.size() && field == u"1")
                flags |= 1u << k;
            ++k;
        }
        rows->append({image, flags});
    }
    if (refusedCount == 0)
        return QString();
    if (refusedCount > linesNamed)
        refusedLines.append(Texts::tr("等 %1 行").arg(refusedCount));
    return Texts::tr("第 %1 行：%2；未导入任何行")
        .arg(refusedLines.join(Texts::tr("、")), reasonOf(SaveResult::NameNotStorable));
}

} // namespace

Report importFile(const QString &csvPath, const TeamAddress &address, const QStringList &catalogue,
                  const QString &annotator)
{
    Report report;
    const AnnotationText text = readText(csvPath);
    if (text.status == AnnotationText::Missing) {
        report.text = Texts::tr("标签文件不存在：%1").arg(csvPath);
        return report;
    }
    if (const auto refused = checkFile(text, catalogue); refused != SaveResult::Saved) {
        report.text = reasonOf(refused);
        return report;
    }
    QList<QPair<QString, quint32>> rows;
    if (const QString refused = readersRows(text.lines, catalogue, &rows); !refused.isEmpty()) {
        report.text = refused;
        return report;
    }

    TeamDatabase database(address, catalogue, annotator,
                          QUuid::createUuid().toString(QUuid::WithoutBraces));
    QString error;
    if (!database.open(&error)) {
        report.unreachable = true;
        report.text = unreachable(error);
        return report;
    }
    qsizetype changed = 0;
    if (!database.importRows(rows, &changed, &error)) {
        report.text = Texts::tr("导入失败：%1").arg(error);
        return report;
    }
    report.ok = true;
    report.text = Texts::tr("已导入 %1 行，其中 %2 行有更改").arg(rows.size()).arg(changed);
    return report;
}

bool exportText(const TeamAddress &address, const QStringList &catalogue, QByteArray *content,
                qsizetype *rows, QString *error)
{
    TeamDatabase database(address, catalogue, QString(), QString());
    QString reason;
    if (!database.open(&reason)) {
        *error = unreachable(reason);
        return false;
    }
    QStringList lines{AnnotationFormat::headerRow(catalogue)};
    const qsizetype flagCount = catalogue.size();
    const bool read = database.readAll(
        [&lines, flagCount](TeamRow &&row) {
            // The row AnnotationFormat::buildRow() writes, without a list of labels.
            QString line = row.image;
            line.reserve(row.image.size() + 2 * flagCount);
            for (qsizetype k = 0; k < flagCount; ++k)
                line += (row.flags & (1u << k)) ? QStringLiteral(",1") : QStringLiteral(",0");
            lines.append(line);
        },
        &reason);
    if (!read) {
        *error = unreachable(reason);
        return false;
    }
    AnnotationFormat::sortDataRows(lines);
    content->clear();
    for (const QString &line : std::as_const(lines)) {
        *content += line.toUtf8();
        *content += '\n';
    }
    *rows = lines.size() - 1;
    return true;
}

Report exportFile(const TeamAddress &address, const QString &csvPath, const QStringList &catalogue)
{
    Report report;
    // A file that a save would not rewrite is not replaced by an export either.
    if (!AnnotationFile::mayReplace(csvPath)) {
        report.text = reasonOf(SaveResult::CannotOpen);
        return report;
    }
    if (const auto refused = checkFile(readText(csvPath), catalogue);
        refused != SaveResult::Saved) {
        report.text = reasonOf(refused);
        return report;
    }
    QByteArray content;
    qsizetype rows = 0;
    QString error;
    if (!exportText(address, catalogue, &content, &rows, &error)) {
        report.text = error;
        report.unreachable = true;
        return report;
    }
    const auto written = AnnotationFile::underLock(csvPath, [&csvPath, &content] {
        return AnnotationFile::writeContent(csvPath, content);
    });
    if (written != SaveResult::Saved) {
        report.text = reasonOf(written);
        return report;
    }
    report.ok = true;
    report.text = Texts::tr("已导出 %1 行到 %2").arg(rows).arg(csvPath);
    return report;
}

} // namespace TeamTransfer
