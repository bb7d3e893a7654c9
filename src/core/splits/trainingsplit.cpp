// Reading the annotation file's marked rows, grouping them, and writing the
// splits and their report. Rows are offsets into the file's bytes and their
// labels one bitmask each, so that a million rows cost a few bytes apiece
// beside the text itself. The placement itself is in splitplacement.cpp.
#include "trainingsplit.h"

#include "annotationfile.h"
#include "annotationformat.h"
#include "teamaddress.h"
#include "teamtransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QtAlgorithms>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace TrainingSplit {

namespace {

QString tr(const char *source)
{
    return QCoreApplication::translate("TrainingSplit", source);
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

constexpr quint32 markedBit = 0x80000000u;

// Bit k for field k + 1 exactly "1" within the first `labels` fields after
// the name, and markedBit for any field after the name exactly "1".
quint32 factsOf(const char *begin, const char *end, qsizetype labels)
{
    quint32 facts = 0;
    qsizetype field = 0;
    for (const char *at = begin; at != end; ++at) {
        if (*at != ',')
            continue;
        ++field;
        if (at + 1 != end && at[1] == '1' && (at + 2 == end || at[2] == ',')) {
            facts |= markedBit;
            if (field <= labels)
                facts |= 1u << (field - 1);
        }
    }
    return facts;
}

QByteArrayView nameOf(QByteArrayView row)
{
    const qsizetype comma = row.indexOf(',');
    return comma < 0 ? row : row.first(comma);
}

} // namespace

QStringList outputNames()
{
    return {QStringLiteral("train.csv"), QStringLiteral("val.csv"), QStringLiteral("test.csv"),
            QStringLiteral("splits.txt")};
}

bool parseShares(QStringView text, Shares *shares)
{
    const QList<QStringView> parts = text.split(u',');
    if (parts.size() != splitCount)
        return false;
    for (int j = 0; j < splitCount; ++j) {
        const QStringView part = parts.at(j).trimmed();
        // Digits only: toInt() would also take a sign, spaces or "0x".
        if (part.isEmpty() || part.size() > 3
            || !std::all_of(part.begin(), part.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            return false;
        (*shares)[j] = part.toInt();
    }
    return true;
}

QString sharesProblem(const Shares &shares)
{
    int sum = 0;
    for (const int share : shares) {
        if (share < 0 || share > 100)
            return tr("比例无效：每个比例须为 0 到 100 之间的整数");
        sum += share;
    }
    if (sum != 100)
        return tr("比例无效：训练、验证和测试的比例之和须为 100，现为 %1").arg(sum);
    return QString();
}

QString patternProblem(const QString &pattern)
{
    if (pattern.isEmpty())
        return QString();
    const QRegularExpression expression(pattern);
    if (!expression.isValid())
        return tr("分组模式无效：%1（第 %2 个字符处）")
            .arg(expression.errorString())
            .arg(expression.patternErrorOffset() + 1);
    if (expression.captureCount() < 1)
        return tr("分组模式无效：须有一个捕获组（括号），其匹配的文字命名图片的组");
    return QString();
}

MarkedRows MarkedRows::read(const QString &path, const QStringList &catalogue)
{
    MarkedRows rows;
    rows.labels = catalogue;
    Q_ASSERT(catalogue.size() <= 31);
    QByteArray bytes;
    // A team's dataset is split as its export would write it.
    if (TeamAddress::isAddress(path)) {
        const std::optional<TeamAddress> address = TeamAddress::parse(path, &rows.failure);
        qsizetype count = 0;
        if (!address || !TeamTransfer::exportText(*address, catalogue, &bytes, &count, &rows.failure)) {
            rows.readStatus = Unreachable;
            return rows;
        }
        rows.text = std::move(bytes);
        rows.scan(AnnotationFormat::headerRow(catalogue).toUtf8());
        return rows;
    }
    switch (AnnotationFile::readBytes(path, &bytes)) {
    case AnnotationText::Missing:
        rows.readStatus = Missing;
        return rows;
    case AnnotationText::Unreadable:
        rows.readStatus = Unreadable;
        return rows;
    case AnnotationText::Read:
        break;
    }
    if (!bytes.isValidUtf8() || bytes.contains('\0')) {
        rows.readStatus = NotText;
        return rows;
    }
    rows.text = std::move(bytes);
    rows.scan(AnnotationFormat::headerRow(catalogue).toUtf8());
    return rows;
}

// The lines are taken as the readers split them: LF or CR LF ends a line, a
// last line without one counts, a byte-order mark is no part of the header.
// Empty lines hold no image and are passed over.
void MarkedRows::scan(const QByteArray &header)
{
    const char *const begin = text.constData();
    const char *const end = begin + text.size();
    const char *at = text.startsWith("\xef\xbb\xbf") ? begin + 3 : begin;
    const auto nextLine = [&](const char **lineEnd) {
        const char *newline = static_cast<const char *>(std::memchr(at, '\n', end - at));
        const char *stop = newline ? newline : end;
        *lineEnd = stop > at && stop[-1] == '\r' ? stop - 1 : stop;
        const char *start = at;
        at = newline ? newline + 1 : end;
        return start;
    };

    // A file of nothing but line ends is empty, as a save takes it.
    if (std::all_of(at, end, [](char c) { return c == '\n' || c == '\r'; })) {
        readStatus = Read;
        return;
    }
    const char *headerEnd = nullptr;
    const char *headerStart = nextLine(&headerEnd);
    if (QByteArrayView(headerStart, headerEnd - headerStart) != header) {
        readStatus = ForeignHeader;
        return;
    }
    readStatus = Read;

    // Every data row first, then only the readers' row of each name: a file
    // whose names rise strictly has one row per name, and needs no table.
    const std::size_t lines = std::size_t(QByteArrayView(at, end - at).count('\n')) + 1;
    starts.reserve(lines);
    ends.reserve(lines);
    std::vector<quint32> facts;
    facts.reserve(lines);
    bool rising = true;
    QByteArrayView previous;
    while (at < end) {
        const char *lineEnd = nullptr;
        const char *start = nextLine(&lineEnd);
        if (start == lineEnd)
            continue;
        const QByteArrayView name = nameOf(QByteArrayView(start, lineEnd - start));
        if (rising && !starts.empty() && !(previous < name))
            rising = false;
        previous = name;
        starts.push_back(quint32(start - begin));
        ends.push_back(quint32(lineEnd - begin));
        facts.push_back(factsOf(start, lineEnd, labels.size()));
    }
    keepMarkedReadersRows(std::move(facts), rising);
}

void MarkedRows::keepMarkedReadersRows(std::vector<quint32> facts, bool rising)
{
    const char *const begin = text.constData();
    std::vector<bool> first;
    if (!rising) {
        first.assign(starts.size(), true);
        QSet<QByteArrayView> seen;
        seen.reserve(qsizetype(starts.size()));
        for (std::size_t i = 0; i < starts.size(); ++i) {
            const QByteArrayView name = nameOf(QByteArrayView(begin + starts[i], ends[i] - starts[i]));
            if (seen.contains(name))
                first[i] = false;
            else
                seen.insert(name);
        }
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        if (!rising && !first[i])
            continue;
        if (!(facts[i] & markedBit)) {
            ++unmarkedRows;
            continue;
        }
        starts[kept] = starts[i];
        ends[kept] = ends[i];
        facts[kept] = facts[i] & ~markedBit;
        ++kept;
    }
    starts.resize(kept);
    ends.resize(kept);
    facts.resize(kept);
    flagsOfRow = std::move(facts);
}

QString MarkedRows::problem(const QString &path) const
{
    switch (readStatus) {
    case Read:
        break;
    case Missing:
        return tr("标签文件不存在：%1").arg(shown(path));
    case Unreadable:
        return tr("无法读取标签文件：%1").arg(shown(path));
    case NotText:
        return tr("标签文件不是 UTF-8 文本：%1").arg(shown(path));
    case ForeignHeader:
        return tr("标签文件的第一行不是类别表头：%1").arg(shown(path));
    case Unreachable:
        return failure;
    }
    return QString();
}

QByteArrayView MarkedRows::row(qsizetype i) const
{
    const std::size_t at = std::size_t(i);
    return QByteArrayView(text.constData() + starts[at], ends[at] - starts[at]);
}

QByteArrayView MarkedRows::name(qsizetype i) const
{
    return nameOf(row(i));
}

Groups group(const MarkedRows &rows, const QString &pattern)
{
    Groups groups;
    const std::size_t n = std::size_t(rows.size());
    groups.of.resize(n);
    if (pattern.isEmpty()) {
        for (std::size_t i = 0; i < n; ++i)
            groups.of[i] = quint32(i);
        groups.count = qsizetype(n);
        return groups;
    }

    QRegularExpression expression(pattern);
    expression.optimize();
    QHash<QString, quint32> named;
    QStringDecoder decoder(QStringDecoder::Utf8);
    QVarLengthArray<QChar, 256> buffer;
    for (std::size_t i = 0; i < n; ++i) {
        const QByteArrayView name = rows.name(qsizetype(i));
        buffer.resize(name.size());
        const QStringView text(buffer.data(), decoder.appendToBuffer(buffer.data(), name) - buffer.data());
        const QRegularExpressionMatch match = expression.match(text);
        if (!match.hasCaptured(1)) {
            ++groups.unmatched;
            groups.of[i] = quint32(groups.count++);
            continue;
        }
        auto place = named.find(match.capturedView(1).toString());
        if (place == named.end())
            place = named.insert(match.captured(1), quint32(groups.count++));
        groups.of[i] = *place;
    }

    groups.first.assign(std::size_t(groups.count) + 1, 0);
    groups.rows.resize(n);
    for (const quint32 g : groups.of)
        ++groups.first[g + 1];
    for (std::size_t g = 0; g < std::size_t(groups.count); ++g)
        groups.first[g + 1] += groups.first[g];
    std::vector<quint32> next(groups.first.begin(), groups.first.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
        groups.rows[next[groups.of[i]]++] = quint32(i);
    return groups;
}

QByteArray splitFile(const MarkedRows &rows, const std::vector<quint8> &splitOf, int split)
{
    QByteArray content = AnnotationFormat::headerRow(rows.catalogue()).toUtf8();
    content += '\n';
    qsizetype size = content.size();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (splitOf[std::size_t(i)] == split)
            size += rows.row(i).size() + 1;
    }
    content.reserve(size);
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (splitOf[std::size_t(i)] != split)
            continue;
        content += rows.row(i);
        content += '\n';
    }
    return content;
}

namespace {

// One line of the report's table: counts in all and in each split, each
// split's share of them, the largest miss of the asked share and what a
// random cut would typically miss by, then the line's name. Numbers stand
// right-aligned in columns of eight; the name comes last, so that wide
// characters in it shift nothing.
struct TableLine
{
    qint64 all = 0;
    std::array<qint64, splitCount> in{};
    // The sum over the units a random cut deals out (rows, or groups) of the
    // square of each unit's count.
    double squares = 0;

    QString format(const Shares &shares, const QString &name) const
    {
        QString line;
        const auto column = [&line](const QString &text) { line += text.rightJustified(8); };
        column(QString::number(all));
        for (const qint64 count : in)
            column(QString::number(count));
        for (const qint64 count : in)
            column(all == 0 ? QStringLiteral("-")
                            : QString::number(100.0 * double(count) / double(all), 'f', 1) + u'%');
        qint64 deviation = 0;
        double random = 0;
        for (int j = 0; j < splitCount; ++j) {
            deviation = std::max(deviation, std::abs(100 * in[j] - qint64(shares[j]) * all));
            const double p = shares[j] / 100.0;
            random = std::max(random, std::sqrt(p * (1 - p) * squares));
        }
        // Whole percents of whole counts: the deviation is a whole number
        // of hundredths, shown exactly.
        column(QString::number(double(deviation) / 100.0, 'f', 2));
        column(QString::number(random, 'f', 1));
        line += QStringLiteral("  ") + name;
        return line;
    }
};

} // namespace

QByteArray report(const MarkedRows &rows, const Groups &groups,
                  const std::vector<quint8> &splitOf, const Settings &settings)
{
    const QStringList &catalogue = rows.catalogue();
    const std::size_t labelCount = std::size_t(catalogue.size());
    std::vector<TableLine> labelLines(labelCount);
    TableLine images;
    TableLine groupLine;

    std::vector<qint64> inGroup(labelCount);
    for (std::size_t g = 0; g < std::size_t(groups.count); ++g) {
        std::fill(inGroup.begin(), inGroup.end(), 0);
        qint64 size = 0;
        int split = 0;
        groups.forEachRow(g, [&](quint32 i) {
            ++size;
            split = splitOf[i];
            for (quint32 rest = rows.flags(i); rest; rest &= rest - 1)
                ++inGroup[qCountTrailingZeroBits(rest)];
        });
        for (std::size_t l = 0; l < labelCount; ++l) {
            labelLines[l].all += inGroup[l];
            labelLines[l].in[split] += inGroup[l];
            labelLines[l].squares += double(inGroup[l] * inGroup[l]);
        }
        images.all += size;
        images.in[split] += size;
        images.squares += double(size * size);
        ++groupLine.all;
        ++groupLine.in[split];
        ++groupLine.squares;
    }

    const Shares &shares = settings.shares;
    const bool grouped = !settings.pattern.isEmpty();
    QStringList lines;
    lines << QStringLiteral("Norvanta 训练划分")
          << QStringLiteral("种子: %1").arg(settings.seed)
          << QStringLiteral("比例: train %1%, val %2%, test %3%").arg(shares[0]).arg(shares[1]).arg(shares[2])
          << QStringLiteral("分组模式: %1").arg(grouped ? settings.pattern : QStringLiteral("无（每张图片自成一组）"))
          << QStringLiteral("划分的行（标签文件中每个名称的第一行，已标记）: %1").arg(rows.size())
          << QStringLiteral("未标记的行（未划分）: %1").arg(rows.unmarked());
    if (grouped)
        lines << QStringLiteral("不匹配分组模式的名称（各自成组）: %1").arg(groups.unmatched);
    lines << QString()
          << QStringLiteral("偏差: 各划分中的数目与其应得数目（总数 × 比例）之差的绝对值，取最大者。")
          << (grouped ? QStringLiteral("随机: 若每组独立地按比例随机落入一个划分，上述之差的标准差，取最大者；随机划分通常偏差这么多。")
                      : QStringLiteral("随机: 若每张图片独立地按比例随机落入一个划分，上述之差的标准差，取最大者；随机划分通常偏差这么多。"))
          << QString()
          << QStringLiteral("    总数   train     val    test  train%    val%   test%    偏差    随机  类别");
    for (std::size_t l = 0; l < labelCount; ++l)
        lines << labelLines[l].format(shares, catalogue.at(qsizetype(l)));
    lines << images.format(shares, QStringLiteral("图片"))
          << groupLine.format(shares, QStringLiteral("组"));
    return (lines.join(u'\n') + u'\n').toUtf8();
}

QStringList existingOutputs(const QString &folder)
{
    QStringList existing;
    const QDir dir(folder);
    for (const QString &name : outputNames()) {
        if (QFileInfo::exists(dir.filePath(name)) || QFileInfo(dir.filePath(name)).isSymLink())
            existing.append(name);
    }
    return existing;
}

namespace {

// The folders that making `folder` creates, deepest first.
QStringList missingFolders(const QString &folder)
{
    QStringList missing;
    QFileInfo at(QDir::cleanPath(QDir(folder).absolutePath()));
    while (!at.exists() && !at.isSymLink() && !at.isRoot()) {
        missing.append(at.absoluteFilePath());
        at.setFile(at.absolutePath());
    }
    return missing;
}

void removeFolders(const QStringList &folders)
{
    for (const QString &folder : folders)
        QDir().rmdir(folder);
}

// All four files or none: a full disk at the report leaves no split behind.
void writeOutputs(const QDir &dir, const MarkedRows &rows, const Settings &settings,
                  Outcome *outcome)
{
    const Groups groups = group(rows, settings.pattern);
    const std::vector<quint8> splitOf = assign(rows, groups, settings.shares, settings.seed);
    QStringList paths;
    QList<QByteArray> contents;
    for (int j = 0; j <= splitCount; ++j) {
        paths.append(dir.filePath(outputNames().at(j)));
        contents.append(j < splitCount ? splitFile(rows, splitOf, j)
                                       : report(rows, groups, splitOf, settings));
    }
    qsizetype failedAt = 0;
    const SaveResult result = AnnotationFile::writeContents(paths, contents, &failedAt);
    outcome->failed = result != SaveResult::Saved;
    if (result == SaveResult::DiskFull) {
        outcome->problem = tr("磁盘空间不足，%1 未写入").arg(shown(paths.at(failedAt)));
    } else if (result != SaveResult::Saved) {
        outcome->problem = tr("无法写入 %1").arg(shown(paths.at(failedAt)));
    } else {
        for (const quint8 split : splitOf)
            ++outcome->rows[split];
        outcome->written = true;
    }
}

} // namespace

Outcome run(const QString &annotationPath, const QStringList &catalogue,
            const Settings &settings, const QString &folder)
{
    Outcome outcome;
    outcome.problem = sharesProblem(settings.shares);
    if (outcome.problem.isEmpty())
        outcome.problem = patternProblem(settings.pattern);
    if (!outcome.problem.isEmpty())
        return outcome;

    const MarkedRows rows = MarkedRows::read(annotationPath, catalogue);
    if (rows.status() != MarkedRows::Read) {
        outcome.problem = rows.problem(annotationPath);
        return outcome;
    }
    if (rows.size() == 0) {
        outcome.problem = tr("标签文件中没有已标记的图片：%1").arg(shown(annotationPath));
        return outcome;
    }

    const QFileInfo place(folder);
    if (place.exists() && !place.isDir()) {
        outcome.problem = tr("输出目录不是目录：%1").arg(shown(folder));
        return outcome;
    }
    const QDir dir(folder);
    // A dataset on a server is no file that an output could replace.
    const QString source = QFileInfo(annotationPath).canonicalFilePath();
    for (const QString &name : outputNames()) {
        if (!source.isEmpty() && QFileInfo(dir.filePath(name)).canonicalFilePath() == source) {
            outcome.problem = tr("输出文件会替换标签文件本身：%1").arg(shown(dir.filePath(name)));
            return outcome;
        }
    }
    // A split that fails leaves no folder it made.
    const QStringList made = missingFolders(folder);
    if (!place.exists() && !QDir().mkpath(folder)) {
        removeFolders(made);
        outcome.problem = tr("无法创建输出目录：%1").arg(shown(folder));
        return outcome;
    }
    writeOutputs(dir, rows, settings, &outcome);
    if (!outcome.written)
        removeFolders(made);
    return outcome;
}

} // namespace TrainingSplit
