// The training split's core: what it reads of the annotation file, how it
// groups and places rows, and the four files it writes.
#include "annotationformat.h"
#include "filesizelimit.h"
#include "testwindow.h"
#include "trainingsplit.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <random>

using namespace TrainingSplit;
using TestWindow::headerLine;
using TestWindow::readFile;
using TestWindow::row;
using TestWindow::writeFile;

class TrainingSplitTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void sharesAreThreeWholePercentsSummingTo100_data();
    void sharesAreThreeWholePercentsSummingTo100();
    void patternsMustBeValidAndCapture_data();
    void patternsMustBeValidAndCapture();
    void theReadersRowOfEachMarkedNameIsSplit();
    void filesThatCannotBeSplitAreRefused_data();
    void filesThatCannotBeSplitAreRefused();
    void theFirstCaptureOfTheFirstMatchNamesTheGroup();
    void everyLabelKeepsItsShareWithinTwoRows_data();
    void everyLabelKeepsItsShareWithinTwoRows();
    void aSplitWithoutShareGetsNothing_data();
    void aSplitWithoutShareGetsNothing();
    void groupsStayWholeAndLabelsStaySpread();
    void theFourFilesAreWrittenByteForByte();
    void theSameInputsGiveTheSameBytes();
    void outputsThatCannotBeWrittenSafelyAreRefused();
    void aSplitThatFailsPartWayLeavesEveryFileAsItWas();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    MarkedRows readRows(const QByteArray &content);

    std::unique_ptr<QTemporaryDir> dir;
};

namespace {

// Label frequencies from common to rare, as in a real defect dataset: the
// rarest leave a split a handful of rows, where a random cut goes most wrong.
const double frequencies[19] = {0.35, 0.22, 0.15, 0.11, 0.08, 0.06,  0.045, 0.035, 0.025, 0.02,
                                0.015, 0.012, 0.01, 0.008, 0.007, 0.006, 0.005, 0.004, 0.003};

// `count` marked rows named "rNNNNN_K.png", K counting within runs of
// `groupSize`; each has every label with its frequency, and at least one.
QByteArray dataset(int count, int groupSize = 1, quint32 seed = 1)
{
    std::mt19937 random(seed);
    QByteArray content = headerLine();
    for (int i = 0; i < count; ++i) {
        QList<int> set;
        for (int k = 0; k < 19; ++k) {
            if (double(random()) / double(std::mt19937::max()) < frequencies[k])
                set.append(k + 1);
        }
        if (set.isEmpty())
            set.append(1 + int(random() % 19));
        content += row(QStringLiteral("r%1_%2.png").arg(i / groupSize, 5, 10, QLatin1Char('0')).arg(i % groupSize), set);
    }
    return content;
}

struct Tally
{
    std::array<qsizetype, splitCount> rows{};
    std::vector<std::array<qsizetype, splitCount>> labels = std::vector<std::array<qsizetype, splitCount>>(19);
    std::vector<qsizetype> labelTotals = std::vector<qsizetype>(19);
};

Tally tally(const MarkedRows &rows, const std::vector<quint8> &splitOf)
{
    Tally counts;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const int split = splitOf[std::size_t(i)];
        ++counts.rows[split];
        for (int k = 0; k < 19; ++k) {
            if (rows.flags(i) & (1u << k)) {
                ++counts.labels[k][split];
                ++counts.labelTotals[k];
            }
        }
    }
    return counts;
}

} // namespace

void TrainingSplitTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

MarkedRows TrainingSplitTest::readRows(const QByteArray &content)
{
    writeFile(path(u"labels.csv"_qs), content);
    return MarkedRows::read(path(u"labels.csv"_qs), AnnotationFormat::catalogue());
}

void TrainingSplitTest::sharesAreThreeWholePercentsSummingTo100_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<QString>("problem");
    const QString range = u"比例无效：每个比例须为 0 到 100 之间的整数"_qs;
    QTest::newRow("the defaults") << u"80,10,10"_qs << true << QString();
    QTest::newRow("a share of 0") << u"100,0,0"_qs << true << QString();
    QTest::newRow("spaces around numbers") << u"70, 15, 15"_qs << true << QString();
    QTest::newRow("sum 101") << u"80,10,11"_qs << true
                             << u"比例无效：训练、验证和测试的比例之和须为 100，现为 101"_qs;
    QTest::newRow("over 100") << u"120,0,0"_qs << true << range;
    QTest::newRow("two shares") << u"80,20"_qs << false << QString();
    QTest::newRow("four shares") << u"80,10,10,0"_qs << false << QString();
    QTest::newRow("negative") << u"90,-10,20"_qs << false << QString();
    QTest::newRow("fraction") << u"80.5,10,9.5"_qs << false << QString();
    QTest::newRow("empty share") << u"90,,10"_qs << false << QString();
    QTest::newRow("hexadecimal") << u"0x50,10,10"_qs << false << QString();
}

void TrainingSplitTest::sharesAreThreeWholePercentsSummingTo100()
{
    QFETCH(QString, text);
    QFETCH(bool, parsed);
    QFETCH(QString, problem);
    Shares shares{};
    QCOMPARE(parseShares(text, &shares), parsed);
    if (parsed)
        QCOMPARE(sharesProblem(shares), problem);
}

void TrainingSplitTest::patternsMustBeValidAndCapture_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("problem");
    QTest::newRow("none") << QString() << QString();
    QTest::newRow("capturing") << u"^(.+)_\\d+\\.png$"_qs << QString();
    QTest::newRow("no capture group")
        << u"^rec\\d+"_qs << u"分组模式无效：须有一个捕获组（括号），其匹配的文字命名图片的组"_qs;
    QTest::newRow("only a non-capturing group")
        << u"(?:rec)"_qs << u"分组模式无效：须有一个捕获组（括号），其匹配的文字命名图片的组"_qs;
    QTest::newRow("unbalanced") << u"(rec"_qs << u"分组模式无效："_qs;
}

void TrainingSplitTest::patternsMustBeValidAndCapture()
{
    QFETCH(QString, pattern);
    QFETCH(QString, problem);
    const QString found = patternProblem(pattern);
    // The syntax error's own words come from the expression engine.
    if (QTest::currentDataTag() == QByteArray("unbalanced"))
        QVERIFY2(found.startsWith(problem) && found.size() > problem.size(), qPrintable(found));
    else
        QCOMPARE(found, problem);
}

// The readers take the first row of a name, so a later row never counts,
// marked or not; lines are read as a save writes them back.
void TrainingSplitTest::theReadersRowOfEachMarkedNameIsSplit()
{
    QByteArray extraOne = row(u"g.png"_qs);
    extraOne.insert(extraOne.size() - 1, ",1");
    const QByteArray content = "\xef\xbb\xbf" + headerLine().replace("\n", "\r\n")
        + row(u"d.png"_qs, {2}) + row(u"a.png"_qs, {1, 19}).replace("\n", "\r\n")
        + row(u"b.png"_qs) + row(u"a.png"_qs, {3}) + "\n" + row(u"b.png"_qs, {4})
        + "c.png,1\n" + extraOne + row(u"e.png"_qs, {5}).chopped(1);
    const MarkedRows rows = readRows(content);
    QCOMPARE(rows.status(), MarkedRows::Read);
    QCOMPARE(rows.size(), 5);
    QCOMPARE(rows.unmarked(), 1); // b.png's first row
    const QList<QByteArray> names{"d.png", "a.png", "c.png", "g.png", "e.png"};
    const QList<quint32> flags{0b10, 1u | (1u << 18), 0b1, 0, 0b10000};
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QCOMPARE(rows.name(i).toByteArray(), names.at(i));
        QCOMPARE(rows.flags(i), flags.at(i));
    }
    QCOMPARE(rows.row(1).toByteArray(), row(u"a.png"_qs, {1, 19}).chopped(1));
    QCOMPARE(rows.row(4).toByteArray(), row(u"e.png"_qs, {5}).chopped(1));

    // Written back whole, one LF each, in the file's order.
    QVERIFY(run(path(u"labels.csv"_qs), AnnotationFormat::catalogue(), {{100, 0, 0}, 0, {}},
                path(u"out"_qs)).written);
    QCOMPARE(readFile(path(u"out/train.csv"_qs)),
             headerLine() + row(u"d.png"_qs, {2}) + row(u"a.png"_qs, {1, 19}) + "c.png,1\n"
                 + extraOne + row(u"e.png"_qs, {5}));
    QCOMPARE(readFile(path(u"out/val.csv"_qs)), headerLine());

    // Nothing but line ends is an empty file: nothing to split.
    const MarkedRows empty = readRows("\n\r\n");
    QCOMPARE(empty.status(), MarkedRows::Read);
    QCOMPARE(empty.size(), 0);
}

void TrainingSplitTest::filesThatCannotBeSplitAreRefused_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("problem");
    QTest::newRow("foreign header") << QByteArray("name,a,b\nx.png,1,0\n") << int(MarkedRows::ForeignHeader)
                                    << u"标签文件的第一行不是类别表头："_qs;
    QTest::newRow("not UTF-8") << headerLine() + "\xff\xfe.png,1\n" << int(MarkedRows::NotText)
                               << u"标签文件不是 UTF-8 文本："_qs;
    QTest::newRow("NUL byte") << headerLine() + row(u"a.png"_qs, {1}) + '\0' << int(MarkedRows::NotText)
                              << u"标签文件不是 UTF-8 文本："_qs;
    QTest::newRow("missing") << QByteArray() << int(MarkedRows::Missing) << u"标签文件不存在："_qs;
    QTest::newRow("only unmarked rows") << headerLine() + row(u"a.png"_qs) << int(MarkedRows::Read)
                                        << u"标签文件中没有已标记的图片："_qs;
}

void TrainingSplitTest::filesThatCannotBeSplitAreRefused()
{
    QFETCH(QByteArray, content);
    QFETCH(int, status);
    QFETCH(QString, problem);
    const QString file = path(u"labels.csv"_qs);
    if (!content.isNull())
        writeFile(file, content);
    QCOMPARE(int(MarkedRows::read(file, AnnotationFormat::catalogue()).status()), status);
    const Outcome outcome = run(file, AnnotationFormat::catalogue(), Settings(), path(u"out"_qs));
    QVERIFY(!outcome.written);
    QVERIFY(!outcome.failed);
    QCOMPARE(outcome.problem, problem + QDir::toNativeSeparators(file));
    QVERIFY(!QFileInfo::exists(path(u"out"_qs)));
}

void TrainingSplitTest::theFirstCaptureOfTheFirstMatchNamesTheGroup()
{
    const MarkedRows rows = readRows(headerLine() + row(u"a_1_x.png"_qs, {1}) + row(u"b_1.png"_qs, {1})
                                     + row(u"a_2.png"_qs, {1}) + row(u"x.png"_qs, {1})
                                     + row(u"y.png"_qs, {1}) + row(u"b_2.png"_qs, {1}));
    const Groups byPrefix = group(rows, u"([a-z])_"_qs);
    QCOMPARE(byPrefix.of, (std::vector<quint32>{0, 1, 0, 2, 3, 1}));
    QCOMPARE(byPrefix.count, 4);
    QCOMPARE(byPrefix.unmatched, 2);

    // "x.png" matches, but without its first group: no name, a group of its own.
    const Groups optional = group(rows, u"^(?:([a-z])_|x)"_qs);
    QCOMPARE(optional.of, (std::vector<quint32>{0, 1, 0, 2, 3, 1}));
    QCOMPARE(optional.unmatched, 2);

    const Groups none = group(rows, QString());
    QCOMPARE(none.of, (std::vector<quint32>{0, 1, 2, 3, 4, 5}));
    QCOMPARE(none.unmatched, 0);
}

void TrainingSplitTest::everyLabelKeepsItsShareWithinTwoRows_data()
{
    QTest::addColumn<Shares>("shares");
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("count");
    QTest::newRow("80/10/10, seed 0") << Shares{80, 10, 10} << 0u << 4000;
    QTest::newRow("80/10/10, seed 12345") << Shares{80, 10, 10} << 12345u << 4000;
    QTest::newRow("70/15/15, seed 3") << Shares{70, 15, 15} << 3u << 3000;
    QTest::newRow("60/20/20, seed 9") << Shares{60, 20, 20} << 9u << 5000;
    QTest::newRow("34/33/33, seed 1") << Shares{34, 33, 33} << 1u << 2500;
    QTest::newRow("90/0/10, seed 5") << Shares{90, 0, 10} << 5u << 3000;
}

void TrainingSplitTest::everyLabelKeepsItsShareWithinTwoRows()
{
    QFETCH(Shares, shares);
    QFETCH(quint32, seed);
    QFETCH(int, count);
    const MarkedRows rows = readRows(dataset(count, 1, seed + 1));
    QCOMPARE(rows.size(), count);
    const std::vector<quint8> splitOf = assign(rows, group(rows, QString()), shares, seed);
    QCOMPARE(qsizetype(splitOf.size()), rows.size());

    const Tally counts = tally(rows, splitOf);
    for (int j = 0; j < splitCount; ++j) {
        const double wanted = shares[j] * count / 100.0;
        QVERIFY2(std::abs(double(counts.rows[j]) - wanted) <= count / 100.0,
                 qPrintable(QStringLiteral("split %1 holds %2 rows for %3").arg(j).arg(counts.rows[j]).arg(wanted)));
        for (int k = 0; k < 19; ++k) {
            if (counts.labelTotals[k] < 20)
                continue;
            const double share = shares[j] * counts.labelTotals[k] / 100.0;
            QVERIFY2(std::abs(double(counts.labels[k][j]) - share) <= 2.0,
                     qPrintable(QStringLiteral("label %1 in split %2: %3 for %4")
                                    .arg(k + 1).arg(j).arg(counts.labels[k][j]).arg(share)));
        }
    }
}

void TrainingSplitTest::aSplitWithoutShareGetsNothing_data()
{
    QTest::addColumn<Shares>("shares");
    QTest::newRow("all training") << Shares{100, 0, 0};
    QTest::newRow("no test") << Shares{50, 50, 0};
    QTest::newRow("all test") << Shares{0, 0, 100};
}

// Late rows would otherwise go where the others lack least: a split with a
// share of 0 lacks nothing, and the others soon lack less than nothing.
void TrainingSplitTest::aSplitWithoutShareGetsNothing()
{
    QFETCH(Shares, shares);
    const MarkedRows rows = readRows(dataset(600, 3));
    for (const QString &pattern : {QString(), u"^(r\\d+)_"_qs}) {
        const Tally counts = tally(rows, assign(rows, group(rows, pattern), shares, 4));
        for (int j = 0; j < splitCount; ++j) {
            if (shares[j] == 0)
                QCOMPARE(counts.rows[j], 0);
            else
                QVERIFY(counts.rows[j] > 0);
        }
    }
}

void TrainingSplitTest::groupsStayWholeAndLabelsStaySpread()
{
    const int groupSize = 5;
    const MarkedRows rows = readRows(dataset(5000, groupSize, 7));
    const Groups groups = group(rows, u"^(r\\d+)_"_qs);
    QCOMPARE(groups.count, 5000 / groupSize);
    QCOMPARE(groups.unmatched, 0);
    const Shares shares{80, 10, 10};
    const std::vector<quint8> splitOf = assign(rows, groups, shares, 0);

    std::vector<int> splitOfGroup(std::size_t(groups.count), -1);
    for (std::size_t i = 0; i < splitOf.size(); ++i) {
        int &split = splitOfGroup[groups.of[i]];
        QVERIFY2(split < 0 || split == splitOf[i], qPrintable(QString::fromUtf8(rows.name(qsizetype(i)))));
        split = splitOf[i];
    }

    // Groups of five still allow every label within two rows of its share,
    // and the rows within 1 %, where a random cut of the groups misses the
    // common labels by tens of rows.
    const Tally counts = tally(rows, splitOf);
    for (int j = 0; j < splitCount; ++j) {
        const double p = shares[j] / 100.0;
        QVERIFY(std::abs(counts.rows[j] - p * rows.size()) <= rows.size() / 100.0);
        for (int k = 0; k < 19; ++k) {
            if (counts.labelTotals[k] < 20)
                continue;
            const double miss = std::abs(counts.labels[k][j] - p * counts.labelTotals[k]);
            QVERIFY2(miss <= 2.0, qPrintable(QStringLiteral("label %1 in split %2 misses by %3")
                                                 .arg(k + 1).arg(j).arg(miss)));
        }
    }
}

// The report's lines are its interface: a person reads them, scripts parse them.
void TrainingSplitTest::theFourFilesAreWrittenByteForByte()
{
    const QByteArray content = headerLine() + row(u"a_1.png"_qs, {1}) + row(u"a_2.png"_qs, {1, 2})
        + row(u"b_1.png"_qs, {1}) + row(u"c_1.png"_qs, {2}) + row(u"d_1.png"_qs, {1})
        + row(u"e_1.png"_qs) + row(u"f.png"_qs, {1});
    writeFile(path(u"labels.csv"_qs), content);
    const Settings settings{{50, 25, 25}, 0, u"^([a-z])_"_qs};
    const Outcome outcome = run(path(u"labels.csv"_qs), AnnotationFormat::catalogue(), settings,
                                path(u"out/nested"_qs));
    QVERIFY2(outcome.written, qPrintable(outcome.problem));
    QCOMPARE(outcome.rows, (std::array<qsizetype, splitCount>{3, 2, 1}));
    // Groups a, b, c, d and f (no match); e_1.png is unmarked.
    QCOMPARE(QDir(path(u"out/nested"_qs)).entryList(QDir::Files, QDir::Name),
             (QStringList{u"splits.txt"_qs, u"test.csv"_qs, u"train.csv"_qs, u"val.csv"_qs}));
    QCOMPARE(readFile(path(u"out/nested/train.csv"_qs)),
             headerLine() + row(u"b_1.png"_qs, {1}) + row(u"c_1.png"_qs, {2}) + row(u"d_1.png"_qs, {1}));
    QCOMPARE(readFile(path(u"out/nested/val.csv"_qs)),
             headerLine() + row(u"a_1.png"_qs, {1}) + row(u"a_2.png"_qs, {1, 2}));
    QCOMPARE(readFile(path(u"out/nested/test.csv"_qs)), headerLine() + row(u"f.png"_qs, {1}));

    QByteArray labelLines;
    const QStringList catalogue = AnnotationFormat::catalogue();
    QCOMPARE(catalogue, TestWindow::catalogue());
    // Label 1: 2.5, 1.25 and 1.25 asked, 2, 2 and 1 given; a random cut of
    // the groups (2, 1, 1 and 1 rows of it) misses by sqrt(0.5 * 0.5 * 7).
    labelLines += "       5       2       2       1   40.0%   40.0%   20.0%    0.75     1.3  " + catalogue.at(0).toUtf8() + '\n';
    labelLines += "       2       1       1       0   50.0%   50.0%    0.0%    0.50     0.7  " + catalogue.at(1).toUtf8() + '\n';
    for (int k = 2; k < 19; ++k)
        labelLines += "       0       0       0       0       -       -       -    0.00     0.0  " + catalogue.at(k).toUtf8() + '\n';
    QCOMPARE(readFile(path(u"out/nested/splits.txt"_qs)),
             "Norvanta 训练划分\n"
             "种子: 0\n"
             "比例: train 50%, val 25%, test 25%\n"
             "分组模式: ^([a-z])_\n"
             "划分的行（标签文件中每个名称的第一行，已标记）: 6\n"
             "未标记的行（未划分）: 1\n"
             "不匹配分组模式的名称（各自成组）: 1\n"
             "\n"
             "偏差: 各划分中的数目与其应得数目（总数 × 比例）之差的绝对值，取最大者。\n"
             "随机: 若每组独立地按比例随机落入一个划分，上述之差的标准差，取最大者；随机划分通常偏差这么多。\n"
             "\n"
             "    总数   train     val    test  train%    val%   test%    偏差    随机  类别\n"
             + labelLines
             + "       6       3       2       1   50.0%   33.3%   16.7%    0.50     1.4  图片\n"
               "       5       3       1       1   60.0%   20.0%   20.0%    0.50     1.1  组\n");
}

void TrainingSplitTest::theSameInputsGiveTheSameBytes()
{
    writeFile(path(u"labels.csv"_qs), dataset(3000, 4));
    const auto split = [this](const QString &folder, quint32 seed, const QString &pattern) {
        const Outcome outcome = run(path(u"labels.csv"_qs), AnnotationFormat::catalogue(),
                                    {{80, 10, 10}, seed, pattern}, path(folder));
        QVERIFY2(outcome.written, qPrintable(outcome.problem));
    };
    split(u"first"_qs, 42, u"(r\\d+)"_qs);
    split(u"again"_qs, 42, u"(r\\d+)"_qs);
    split(u"other seed"_qs, 43, u"(r\\d+)"_qs);
    for (const QString &name : outputNames())
        QCOMPARE(readFile(path(u"again/"_qs + name)), readFile(path(u"first/"_qs + name)));
    QVERIFY(readFile(path(u"other seed/test.csv"_qs)) != readFile(path(u"first/test.csv"_qs)));
}

void TrainingSplitTest::outputsThatCannotBeWrittenSafelyAreRefused()
{
    const QByteArray content = headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs, {2});
    const QStringList catalogue = AnnotationFormat::catalogue();

    // An annotation file named like an output, in the output folder.
    QVERIFY(QDir(dir->path()).mkdir(u"data"_qs));
    writeFile(path(u"data/val.csv"_qs), content);
    Outcome outcome = run(path(u"data/val.csv"_qs), catalogue, Settings(), path(u"data/."_qs));
    QVERIFY(!outcome.written);
    QCOMPARE(outcome.problem, u"输出文件会替换标签文件本身："_qs + QDir::toNativeSeparators(path(u"data/./val.csv"_qs)));
    QCOMPARE(QDir(path(u"data"_qs)).entryList(QDir::Files), QStringList{u"val.csv"_qs});
    QCOMPARE(readFile(path(u"data/val.csv"_qs)), content);

    writeFile(path(u"labels.csv"_qs), content);
    outcome = run(path(u"labels.csv"_qs), catalogue, Settings(), path(u"data/val.csv"_qs));
    QCOMPARE(outcome.problem, u"输出目录不是目录："_qs + QDir::toNativeSeparators(path(u"data/val.csv"_qs)));

    outcome = run(path(u"labels.csv"_qs), catalogue, {{80, 10, 11}, 0, {}}, path(u"out"_qs));
    QCOMPARE(outcome.problem, u"比例无效：训练、验证和测试的比例之和须为 100，现为 101"_qs);
    outcome = run(path(u"labels.csv"_qs), catalogue, {{80, 10, 10}, 0, u"x"_qs}, path(u"out"_qs));
    QCOMPARE(outcome.problem, u"分组模式无效：须有一个捕获组（括号），其匹配的文字命名图片的组"_qs);
    QVERIFY(!QFileInfo::exists(path(u"out"_qs)));

    // Files already there are listed for the caller, who asks before replacing.
    QVERIFY(QDir(dir->path()).mkdir(u"out"_qs));
    writeFile(path(u"out/test.csv"_qs), "mine\n");
    writeFile(path(u"out/splits.txt"_qs), "mine\n");
    QCOMPARE(existingOutputs(path(u"out"_qs)), (QStringList{u"test.csv"_qs, u"splits.txt"_qs}));
}

// The training set is small and the test set large: the disk "fills up"
// at test.csv, after train.csv and val.csv are written.
void TrainingSplitTest::aSplitThatFailsPartWayLeavesEveryFileAsItWas()
{
    writeFile(path(u"labels.csv"_qs), dataset(200));
    const Settings settings{{10, 10, 80}, 0, {}};
    const auto failedRun = [&](const QString &folder) {
        const FileSizeLimit limit(4096);
        return run(path(u"labels.csv"_qs), AnnotationFormat::catalogue(), settings, folder);
    };

    Outcome outcome = failedRun(path(u"new/nested"_qs));
    QVERIFY(!outcome.written);
    QVERIFY(outcome.failed);
    QCOMPARE(outcome.problem, u"无法写入 "_qs + QDir::toNativeSeparators(path(u"new/nested/test.csv"_qs)));
    QVERIFY(!QFileInfo::exists(path(u"new"_qs)));

    QVERIFY(QDir(dir->path()).mkdir(u"out"_qs));
    writeFile(path(u"out/val.csv"_qs), "mine\n");
    writeFile(path(u"out/splits.txt"_qs), "mine\n");
    outcome = failedRun(path(u"out"_qs));
    QVERIFY(outcome.failed);
    QCOMPARE(QDir(path(u"out"_qs)).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name),
             (QStringList{u"splits.txt"_qs, u"val.csv"_qs}));
    QCOMPARE(readFile(path(u"out/val.csv"_qs)), "mine\n");

    outcome = run(path(u"labels.csv"_qs), AnnotationFormat::catalogue(), settings, path(u"out"_qs));
    QVERIFY2(outcome.written, qPrintable(outcome.problem));
    QCOMPARE(QDir(path(u"out"_qs)).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 4);
    QVERIFY(readFile(path(u"out/val.csv"_qs)).startsWith(headerLine()));
}

QTEST_GUILESS_MAIN(TrainingSplitTest)
#include "tst_trainingsplit.moc"
