#include "annotationformat.h"

#include "labelcatalogue.h"

#include <algorithm>

namespace AnnotationFormat {

static constexpr QChar separator = u',';

QString nameColumnTitle()
{
    return QStringLiteral("图片名称");
}

QStringList catalogue()
{
    return {
        QStringLiteral("裂缝、断裂和坍塌_RB"),
        QStringLiteral("侧向修复切口_OS"),
        QStringLiteral("变形_DE"),
        QStringLiteral("表面损伤_OB"),
        QStringLiteral("施工变更相关缺陷_OK"),
        QStringLiteral("凿孔连接_PH"),
        noDefectLabel(),
        QStringLiteral("脱节、关节移位_FS"),
        QStringLiteral("生产错误_PF"),
        QStringLiteral("接口材料脱落_IS"),
        QStringLiteral("树根_RO"),
        QStringLiteral("渗透_IN"),
        QStringLiteral("沉积_AF"),
        QStringLiteral("结垢、腐蚀物_BE"),
        QStringLiteral("障碍物_FO"),
        QStringLiteral("支管暗接_GR"),
        QStringLiteral("与过渡轮廓的连接_OP"),
        QStringLiteral("水位_VA"),
        QStringLiteral("钻孔连接_PB"),
    };
}

QStringList splitLines(QStringView text)
{
    QStringList lines;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf(u'\n', start);
        if (end < 0)
            end = text.size();
        QStringView line = text.sliced(start, end - start);
        if (line.endsWith(u'\r'))
            line.chop(1);
        lines.append(line.toString());
        start = end + 1;
    }
    return lines;
}

QStringList splitFields(const QString &line)
{
    return line.split(separator, Qt::KeepEmptyParts);
}

QStringView firstField(QStringView line)
{
    const qsizetype end = line.indexOf(separator);
    return end < 0 ? line : line.first(end);
}

bool hasSetFlag(QStringView line)
{
    qsizetype start = line.indexOf(separator);
    while (start >= 0) {
        const qsizetype end = line.indexOf(separator, start + 1);
        const QStringView field = end < 0 ? line.sliced(start + 1)
                                          : line.sliced(start + 1, end - start - 1);
        if (field == u"1")
            return true;
        start = end;
    }
    return false;
}

qsizetype findRow(const QStringList &lines, const QString &fileName, qsizetype from)
{
    for (qsizetype i = from; i < lines.size(); ++i) {
        if (firstField(lines.at(i)) == fileName)
            return i;
    }
    return -1;
}

QHash<QStringView, bool> markedByName(const QStringList &lines)
{
    QHash<QStringView, bool> marked;
    marked.reserve(lines.size());
    // From the end, so that the first line of a name is the one left standing.
    for (auto line = lines.crbegin(); line != lines.crend(); ++line)
        marked.insert(firstField(*line), hasSetFlag(*line));
    return marked;
}

MarkCounts countMarked(const QStringList &lines, const QStringList &fileNames)
{
    const QHash<QStringView, bool> marked = markedByName(lines);
    MarkCounts counts;
    for (const QString &fileName : fileNames) {
        if (marked.value(QStringView(fileName), false))
            ++counts.marked;
        else
            ++counts.unmarked;
    }
    return counts;
}

QStringList labelsOfRow(const QString &header, const QString &row)
{
    const QStringList headerFields = splitFields(header);
    const QStringList rowFields = splitFields(row);
    const qsizetype end = std::min(headerFields.size(), rowFields.size());
    QStringList result;
    for (qsizetype i = 1; i < end; ++i) {
        if (rowFields.at(i) == u"1")
            result.append(headerFields.at(i));
    }
    return result;
}

qsizetype lastMarkedLine(const QStringList &lines)
{
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        if (hasSetFlag(lines.at(i)))
            return i;
    }
    return -1;
}

QString headerRow(const QStringList &labels)
{
    return (QStringList{nameColumnTitle()} + labels).join(separator);
}

QString buildRow(const QString &fileName, const QStringList &labels,
                 const QStringList &annotations)
{
    QStringList fields{fileName};
    for (const QString &label : labels)
        fields.append(annotations.contains(label) ? QStringLiteral("1") : QStringLiteral("0"));
    return fields.join(separator);
}

bool canHoldName(const QString &fileName)
{
    return !fileName.contains(separator) && !fileName.contains(u'\r')
        && !fileName.contains(u'\n') && !fileName.startsWith(u'"');
}

// Rows of one name that hold a "," all begin with the name and ",", so sorted
// lines put them side by side; only a line without "," can stand apart from
// the other rows of its name.
static bool hasSeveralRowsOfAName(const QStringList &sorted)
{
    QStringView previous;
    for (qsizetype i = 1; i < sorted.size(); ++i) {
        const QString &line = sorted.at(i);
        const qsizetype end = line.indexOf(separator);
        if (end < 0)
            return true;
        const QStringView name = QStringView(line).first(end);
        if (i > 1 && name == previous)
            return true;
        previous = name;
    }
    return false;
}

void sortDataRows(QStringList &lines)
{
    if (lines.size() <= 2)
        return;
    const QStringList fileOrder = lines;
    std::sort(lines.begin() + 1, lines.end());
    if (!hasSeveralRowsOfAName(lines))
        return;

    // The places that the sort gives the rows of one name are filled with
    // its rows in file order.
    QHash<QStringView, QList<qsizetype>> rowsOfName;
    for (qsizetype i = 1; i < fileOrder.size(); ++i)
        rowsOfName[firstField(fileOrder.at(i))].append(i);
    QHash<QStringView, qsizetype> taken;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const auto rows = rowsOfName.constFind(firstField(lines.at(i)));
        if (rows->size() > 1)
            lines[i] = fileOrder.at(rows->at(taken[rows.key()]++));
    }
}

} // namespace AnnotationFormat
