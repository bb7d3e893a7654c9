// The store alone, without a window. Its answers are checked against the
// readers' rules applied to a fresh read of the file (FileOracle::read and
// AnnotationFormat), and its saves against the oracle's save of the
// same row into a twin file, byte for byte.
#include "annotationfile.h"
#include "fileoracle.h"
#include "annotationformat.h"
#include "csvannotationfile.h"
#include "filesizelimit.h"
#include "testwindow.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestWindow;

namespace {

// Every answer the store gives about `names`, one line each, so that two
// sets of answers compare in one QCOMPARE with a readable difference.
QStringList storeAnswers(const CsvAnnotationFile &store, const QStringList &names)
{
    QStringList answers{u"status %1 text %2 lines %3"_qs.arg(store.status()).arg(store.isText())
                            .arg(store.hasLines())};
    for (const QString &name : names) {
        const CsvAnnotationFile::RowFacts facts = store.facts(name);
        answers.append(u"%1: row %2 marked %3/%4 flags %5 labels %6"_qs.arg(name)
                           .arg(facts.hasRow).arg(facts.marked).arg(store.isMarked(name))
                           .arg(facts.flags, 0, 2).arg(store.storedLabels(name).join(u'|')));
    }
    const AnnotationFormat::MarkCounts counts = store.markCounts();
    answers.append(u"last %1 counts %2/%3"_qs.arg(store.lastMarkedName().value_or(u"-"_qs))
                       .arg(counts.marked).arg(counts.unmarked));
    QStringList next;
    for (qsizetype position = -1; position < names.size(); ++position)
        next.append(QString::number(store.nextUnmarked(position)));
    answers.append(u"next "_qs + next.join(u' '));
    QStringList perLabel;
    for (const qsizetype count : store.labelCounts())
        perLabel.append(QString::number(count));
    answers.append(u"per label "_qs + perLabel.join(u' '));
    QStringList positions;
    for (const QString &name : names + QStringList{u"unlisted.png"_qs})
        positions.append(QString::number(store.listedPosition(name)));
    answers.append(u"positions "_qs + positions.join(u' '));
    return answers;
}

// The same answers by the readers' rules, from one read of the file.
QStringList readersAnswers(const QString &path, const QStringList &names)
{
    using namespace AnnotationFormat;
    const AnnotationText file = FileOracle::read(path);
    const QStringList &lines = file.lines;
    QStringList answers{u"status %1 text %2 lines %3"_qs.arg(file.status).arg(file.isText)
                            .arg(!lines.isEmpty())};
    QList<bool> marked;
    QList<qsizetype> perLabelCounts(19, 0);
    for (const QString &name : names) {
        const qsizetype row = findRow(lines, name, 1);
        const qsizetype first = findRow(lines, name);
        quint32 flags = 0;
        QStringList labels;
        if (row >= 0) {
            const QStringList fields = splitFields(lines.at(row));
            for (qsizetype k = 0; k < 19 && k + 1 < fields.size(); ++k) {
                if (fields.at(k + 1) == u"1") {
                    flags |= 1u << k;
                    ++perLabelCounts[k];
                }
            }
            labels = labelsOfRow(lines.first(), lines.at(row));
        }
        marked.append(first >= 0 && hasSetFlag(lines.at(first)));
        answers.append(u"%1: row %2 marked %3/%3 flags %4 labels %5"_qs.arg(name).arg(row >= 0)
                           .arg(marked.last()).arg(flags, 0, 2).arg(labels.join(u'|')));
    }
    const qsizetype last = lastMarkedLine(lines);
    const MarkCounts counts = countMarked(lines, names);
    answers.append(u"last %1 counts %2/%3"_qs
                       .arg(last < 0 ? u"-"_qs : firstField(lines.at(last)).toString())
                       .arg(counts.marked).arg(counts.unmarked));
    QStringList next;
    for (qsizetype position = -1; position < names.size(); ++position) {
        qsizetype found = -1;
        for (qsizetype i = position + 1; i < names.size() && found < 0; ++i)
            found = marked.at(i) ? -1 : i;
        next.append(QString::number(found));
    }
    answers.append(u"next "_qs + next.join(u' '));
    QStringList perLabel;
    for (const qsizetype count : perLabelCounts)
        perLabel.append(QString::number(count));
    answers.append(u"per label "_qs + perLabel.join(u' '));
    QStringList positions;
    for (const QString &name : names + QStringList{u"unlisted.png"_qs})
        positions.append(QString::number(names.indexOf(name)));
    answers.append(u"positions "_qs + positions.join(u' '));
    return answers;
}

// Names whose order differs between code points and UTF-16 units, names that
// are prefixes of others (one sorting between a name alone and the name with
// a ","), letter case, and a name the header row shares.
const QStringList namePool{
    u"a.png"_qs, u"a.png.png"_qs, u"a.png+1.png"_qs, u"A.png"_qs, u"a"_qs, u"b.png"_qs, u"é.png"_qs,
    u"\U0001D49C.png"_qs, u"\uE000.png"_qs, u"\uFF21.png"_qs, u"图片名称"_qs, u"z.png"_qs,
};

QByteArray randomFile(QRandomGenerator &random)
{
    const int shape = random.bounded(8);
    QByteArray content = shape == 0 ? QByteArray() : headerLine();
    const int rows = random.bounded(1, 14);
    QList<QByteArray> lines;
    for (int i = 0; i < rows; ++i) {
        const QString name = namePool.at(random.bounded(namePool.size()));
        QList<int> set;
        for (int k = 1; k <= 19; ++k) {
            if (random.bounded(6) == 0)
                set.append(k);
        }
        switch (random.bounded(12)) {
        case 0:
            lines.append(name.toUtf8() + '\n'); // a name without flags
            break;
        case 1:
            lines.append("\n");
            break;
        case 2:
            lines.append(name.toUtf8() + ",0,1\n"); // a short row
            break;
        default:
            lines.append(row(name, set));
        }
    }
    if (shape != 1) // mostly sorted, as a save leaves the file
        std::sort(lines.begin(), lines.end(), [](const QByteArray &x, const QByteArray &y) {
            return QString::fromUtf8(x) < QString::fromUtf8(y);
        });
    content += lines.join();
    if (shape == 2)
        content.replace("\n", "\r\n");
    if (shape == 3)
        content.prepend("\xef\xbb\xbf");
    if (shape == 4)
        content.chop(1);
    return content;
}

// Makes the file's times old enough for the store to trust them, so that
// only a real change of the file makes it read the file again.
void settle()
{
    QTest::qSleep(60);
}

// Bytes this process has read through the system, the page cache included.
qint64 bytesRead()
{
    QFile io(u"/proc/self/io"_qs);
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

} // namespace

class AnnotationStoreTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void answersFollowTheReadersRules_data();
    void answersFollowTheReadersRules();
    void savesWriteWhatTheFileLayerWritesAndAnswerAsAFreshRead();
    void savedRowsAnswerAsAFreshReadWhateverTheirLineEnds_data();
    void savedRowsAnswerAsAFreshReadWhateverTheirLineEnds();
    void editsOfAnotherProgramAreSeenByTheNextRefresh_data();
    void editsOfAnotherProgramAreSeenByTheNextRefresh();
    void saveAfterAnotherProgramsEditKeepsItsRows();
    void aLookRightAfterItsOwnSaveReadsNothingUntilTheWriteSettles();
    void refusedOrFailedSaveKeepsTheFileAndTheAnswers();
    void rowsPutBackInTurnGiveBackEachFileAndAnswerAsAFreshRead();
    void rowsRemovedInAnyOrderLeaveTheOthersFound();
    void putBackIsRefusedWhenTheRowIsNotTheOneExpected();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString path;
};

void AnnotationStoreTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    path = dir->filePath(u"labels.csv"_qs);
}

void AnnotationStoreTest::answersFollowTheReadersRules_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("line ends only") << QByteArray("\n\r\n\n");
    QTest::newRow("CR LF, byte-order mark, no last line end")
        << "\xef\xbb\xbf" + headerLine().replace("\n", "\r\n") + "b.png,0,1\r\na.png,1\r\r\na.png,0,0,1";
    QTest::newRow("own header file")
        << QByteArray("图片名称,甲,乙,丙\na.png,1,0,1,1\nb.png,0,0,0,1\nc.png,0,1\n");
    QTest::newRow("headerless, first line marks") << QByteArray("c.png,0,1\na.png,0\n\nb.png\n");
    QTest::newRow("header name has a row") << headerLine() + row(u"图片名称"_qs, {2});
    QTest::newRow("NUL byte") << headerLine() + QByteArray("a.png,1\0,1\n", 11);
    QTest::newRow("Latin-1") << headerLine() + "caf\xe9.png,1\nb.png,1\n";
    QTest::newRow("cut sequence at the end") << headerLine() + "b.png,1\n\xe5\x9b";
}

void AnnotationStoreTest::answersFollowTheReadersRules()
{
    QFETCH(QByteArray, content);
    if (!content.isNull())
        writeFile(path, content);
    const QStringList names{u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs,
                            u"caf\uFFFD.png"_qs, u"图片名称"_qs, u"a.png"_qs};
    CsvAnnotationFile store(path, catalogue());
    store.setListedNames(names);
    store.refresh();
    QCOMPARE(storeAnswers(store, names), readersAnswers(path, names));
}

void AnnotationStoreTest::savesWriteWhatTheFileLayerWritesAndAnswerAsAFreshRead()
{
    const QString twin = dir->filePath(u"twin.csv"_qs);
    QRandomGenerator random(15);
    QStringList listed = namePool;
    listed.append(u"never saved.png"_qs);
    for (int round = 0; round < 40; ++round) {
        const QByteArray content = randomFile(random);
        writeFile(path, content);
        writeFile(twin, content);
        CsvAnnotationFile store(path, catalogue());
        store.setListedNames(listed);
        store.refresh();
        for (int save = 0; save < 6; ++save) {
            const QString name = namePool.at(random.bounded(namePool.size() - 2));
            // A quarter of the saves takes every label away.
            QStringList labels;
            const bool none = random.bounded(4) == 0;
            for (const QString &label : catalogue()) {
                if (!none && random.bounded(4) == 0)
                    labels.append(label);
            }
            const SaveResult expected = FileOracle::saveRow(twin, name, catalogue(), labels);
            const SaveResult result = store.saveRow(name, labels);
            const QByteArray context = "round " + QByteArray::number(round) + " save "
                                     + QByteArray::number(save) + ": " + content.toPercentEncoding();
            QVERIFY2(result == expected, context.constData());
            QVERIFY2(readFile(path) == readFile(twin), context.constData());
            // Asked without a refresh: the index holds what was written.
            QCOMPARE(storeAnswers(store, listed), readersAnswers(path, listed));
            CsvAnnotationFile fresh(path, catalogue());
            fresh.setListedNames(listed);
            fresh.refresh();
            QCOMPARE(storeAnswers(fresh, listed), storeAnswers(store, listed));
        }
    }
}

void AnnotationStoreTest::savedRowsAnswerAsAFreshReadWhateverTheirLineEnds_data()
{
    QTest::addColumn<QByteArray>("lineEnd");
    QTest::newRow("LF") << QByteArray("\n");
    QTest::newRow("CR LF") << QByteArray("\r\n");
    // Read as a CR at the end of the row's last field, before a CR LF.
    QTest::newRow("CR CR LF") << QByteArray("\r\r\n");
    QTest::newRow("CR CR CR LF") << QByteArray("\r\r\r\n");
}

// Rows whose last field is a set flag, so that a CR that moves between the
// field and the line end changes the answers.
void AnnotationStoreTest::savedRowsAnswerAsAFreshReadWhateverTheirLineEnds()
{
    QFETCH(QByteArray, lineEnd);
    QByteArray rows = row(u"a.png"_qs, {19}) + row(u"b.png"_qs, {19}) + row(u"d.png"_qs, {2, 19});
    const QByteArray content = headerLine() + rows.replace("\n", lineEnd);
    const QString twin = dir->filePath(u"twin.csv"_qs);
    writeFile(path, content);
    writeFile(twin, content);
    const QStringList names{u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs};
    CsvAnnotationFile store(path, catalogue());
    store.setListedNames(names);
    store.refresh();

    // A row replaced where it stands, a row put in between, the same row again.
    for (const QString &saved : {u"a.png"_qs, u"c.png"_qs, u"a.png"_qs}) {
        QCOMPARE(store.saveRow(saved, {entry(3)}), SaveResult::Saved);
        QCOMPARE(FileOracle::saveRow(twin, saved, catalogue(), {entry(3)}), SaveResult::Saved);
        QCOMPARE(readFile(path), readFile(twin));
        QCOMPARE(storeAnswers(store, names), readersAnswers(path, names));
        CsvAnnotationFile fresh(path, catalogue());
        fresh.setListedNames(names);
        fresh.refresh();
        QCOMPARE(storeAnswers(store, names), storeAnswers(fresh, names));
    }
}

void AnnotationStoreTest::editsOfAnotherProgramAreSeenByTheNextRefresh_data()
{
    QTest::addColumn<QString>("edit");
    QTest::newRow("flag rewritten in place, seconds kept") << u"same size"_qs;
    QTest::newRow("flag rewritten in place, time restored") << u"same time"_qs;
    QTest::newRow("replaced by another file") << u"replaced"_qs;
    QTest::newRow("deleted") << u"deleted"_qs;
    QTest::newRow("grown past 512 MiB") << u"huge"_qs;
    QTest::newRow("made a FIFO") << u"fifo"_qs;
}

void AnnotationStoreTest::editsOfAnotherProgramAreSeenByTheNextRefresh()
{
    QFETCH(QString, edit);
    const QByteArray content = headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs);
    writeFile(path, content);
    const QStringList names{u"a.png"_qs, u"b.png"_qs, u"c.png"_qs};
    CsvAnnotationFile store(path, catalogue());
    store.setListedNames(names);
    QSignalSpy reloaded(&store, &CsvAnnotationFile::reloaded);
    QVERIFY(store.refresh());
    settle();
    QVERIFY(!store.refresh());
    QCOMPARE(store.markCounts().marked, 1);

    const QByteArray name = QFile::encodeName(path);
    struct stat before {};
    QCOMPARE(::stat(name.constData(), &before), 0);
    QByteArray edited = content;
    edited[edited.size() - 2] = '1'; // b.png's last flag
    if (edit == u"same size" || edit == u"same time") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(content.size() - 2));
        QCOMPARE(file.write("1"), 1);
        file.close();
        timespec times[2] = {before.st_atim, before.st_mtim};
        if (edit == u"same size")
            times[1].tv_nsec = (times[1].tv_nsec + 1) % 1'000'000'000;
        QCOMPARE(::utimensat(AT_FDCWD, name.constData(), times, 0), 0);
    } else if (edit == u"replaced") {
        const QString other = dir->filePath(u"other.csv"_qs);
        writeFile(other, edited);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(other).constData(), times, 0), 0);
        QCOMPARE(::rename(QFile::encodeName(other).constData(), name.constData()), 0);
    } else if (edit == u"deleted") {
        QVERIFY(QFile::remove(path));
    } else if (edit == u"huge") {
        QFile file(path);
        QVERIFY(file.resize(qint64(513) * 1024 * 1024));
    } else {
        QVERIFY(QFile::remove(path));
        QCOMPARE(::mkfifo(name.constData(), 0666), 0);
    }

    QVERIFY(store.refresh());
    QCOMPARE(reloaded.count(), 2);
    QCOMPARE(storeAnswers(store, names), readersAnswers(path, names));
    const bool gone = edit == u"deleted" || edit == u"huge" || edit == u"fifo";
    QCOMPARE(store.markCounts().marked, gone ? 0 : 2);
    QCOMPARE(store.status(), edit == u"deleted" ? AnnotationText::Missing
                             : gone             ? AnnotationText::Unreadable
                                                : AnnotationText::Read);
}

void AnnotationStoreTest::saveAfterAnotherProgramsEditKeepsItsRows()
{
    const QByteArray content = headerLine() + row(u"b.png"_qs, {2}) + row(u"c.png"_qs);
    writeFile(path, content);
    CsvAnnotationFile store(path, catalogue());
    store.setListedNames({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    store.refresh();
    settle();
    QVERIFY(!store.refresh());

    // Another program sets a flag of c.png in place and restores the time.
    struct stat before {};
    const QByteArray name = QFile::encodeName(path);
    QCOMPARE(::stat(name.constData(), &before), 0);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(content.size() - 2));
        QCOMPARE(file.write("1"), 1);
    }
    const timespec times[2] = {before.st_atim, before.st_mtim};
    QCOMPARE(::utimensat(AT_FDCWD, name.constData(), times, 0), 0);

    QSignalSpy reloaded(&store, &CsvAnnotationFile::reloaded);
    QSignalSpy saved(&store, &CsvAnnotationFile::rowSaved);
    QCOMPARE(store.saveRow(u"a.png"_qs, {entry(5)}), SaveResult::Saved);
    QCOMPARE(readFile(path), headerLine() + row(u"a.png"_qs, {5}) + row(u"b.png"_qs, {2})
                                 + row(u"c.png"_qs, {19}));
    QCOMPARE(reloaded.count(), 1);
    QCOMPARE(saved.count(), 1);
    QCOMPARE(saved.first().first().toString(), u"a.png"_qs);
    QCOMPARE(store.markCounts().marked, 3);
    QCOMPARE(store.labelCounts().at(18), 1);
}

// A save and the display after it cost one write: the file is looked at once
// more when the write has settled, by the store itself, and the next save
// then trusts it too.
void AnnotationStoreTest::aLookRightAfterItsOwnSaveReadsNothingUntilTheWriteSettles()
{
    QByteArray content = headerLine();
    for (int i = 0; i < 20000; ++i)
        content += row(u"n%1.png"_qs.arg(i, 5, 10, QChar(u'0')));
    writeFile(path, content);
    CsvAnnotationFile store(path, catalogue());
    store.refresh();
    settle();
    QVERIFY(bytesRead() >= 0);

    QCOMPARE(store.saveRow(u"n00001.png"_qs, {entry(3)}), SaveResult::Saved);
    const qint64 size = QFileInfo(path).size();
    qint64 before = bytesRead();
    QVERIFY(!store.refresh());
    QVERIFY(!store.refresh());
    QCOMPARE(store.storedLabels(u"n00001.png"_qs), QStringList{entry(3)});
    QVERIFY(bytesRead() - before < size);
    QTRY_VERIFY(bytesRead() - before >= size);

    before = bytesRead();
    QVERIFY(!store.refresh());
    QCOMPARE(store.saveRow(u"n00002.png"_qs, {entry(4)}), SaveResult::Saved);
    QVERIFY(bytesRead() - before < size);
    const QByteArray saved = readFile(path);
    QVERIFY(saved.contains(row(u"n00001.png"_qs, {3})) && saved.contains(row(u"n00002.png"_qs, {4})));
}

void AnnotationStoreTest::refusedOrFailedSaveKeepsTheFileAndTheAnswers()
{
    QByteArray content = headerLine();
    for (int i = 0; i < 2000; ++i)
        content += row(u"img%1.png"_qs.arg(i, 5, 10, QChar(u'0')), {i % 19 + 1});
    writeFile(path, content);
    const QStringList names{u"img00005.png"_qs, u"new.png"_qs, u"img01999.png"_qs};
    CsvAnnotationFile store(path, catalogue());
    store.setListedNames(names);
    store.refresh();
    const QStringList answers = storeAnswers(store, names);

    QCOMPARE(store.saveRow(u"a,1.png"_qs, {entry(2)}), SaveResult::NameNotStorable);
    {
        // Every write past 4 KiB fails: a row of the same length written over
        // its old one, a new row, and a last marked row unmarked.
        const FileSizeLimit limit(4096);
        QCOMPARE(store.saveRow(u"img00005.png"_qs, {entry(3)}), SaveResult::WriteFailed);
        QCOMPARE(store.saveRow(u"new.png"_qs, {entry(3)}), SaveResult::WriteFailed);
        QCOMPARE(store.saveRow(u"img01999.png"_qs, {}), SaveResult::WriteFailed);
    }
    QVERIFY(readFile(path) == content);
    QCOMPARE(storeAnswers(store, names), answers);

    // Another program puts a CSV of its own in place: refused, and answered as read.
    writeFile(path, "name,score\nimg00005.png,1\n");
    QCOMPARE(store.saveRow(u"img00005.png"_qs, {entry(2)}), SaveResult::ForeignHeader);
    QCOMPARE(storeAnswers(store, names), readersAnswers(path, names));
}

// Saves taken back newest first, each by the rows the store told: every
// file comes back byte for byte once a save has written it in order, and
// the index answers as a fresh read of it.
void AnnotationStoreTest::rowsPutBackInTurnGiveBackEachFileAndAnswerAsAFreshRead()
{
    QRandomGenerator random(23);
    QStringList listed = namePool;
    listed.append(u"never saved.png"_qs);
    for (int round = 0; round < 40; ++round) {
        const QByteArray content = randomFile(random);
        writeFile(path, content);
        CsvAnnotationFile store(path, catalogue());
        store.setListedNames(listed);
        store.refresh();
        QSignalSpy replaced(&store, &CsvAnnotationFile::rowReplaced);
        QSignalSpy saved(&store, &CsvAnnotationFile::rowSaved);
        QList<QByteArray> files{content};
        QStringList names;
        for (int save = 0; save < 6; ++save) {
            const QString name = namePool.at(random.bounded(namePool.size() - 2));
            QStringList labels;
            for (const QString &label : catalogue()) {
                if (random.bounded(3) == 0)
                    labels.append(label);
            }
            if (store.saveRow(name, labels) != SaveResult::Saved)
                break;
            names.append(name);
            files.append(readFile(path));
        }
        QCOMPARE(replaced.count(), names.size());
        const QByteArray context = "round " + QByteArray::number(round) + ": "
                                 + content.toPercentEncoding();
        for (qsizetype save = names.size() - 1; save >= 0; --save) {
            const QList<QVariant> told = replaced.at(save);
            QCOMPARE(told.at(0).toString(), names.at(save));
            const QByteArray before = told.at(1).toByteArray();
            const QByteArray after = told.at(2).toByteArray();
            QCOMPARE(store.row(names.at(save)), after);
            QCOMPARE(store.putBackRow(names.at(save), after, before), SaveResult::Saved);
            QCOMPARE(store.row(names.at(save)), before);
            if (save > 0)
                QVERIFY2(readFile(path) == files.at(save), context.constData());
            QCOMPARE(storeAnswers(store, listed), readersAnswers(path, listed));
            CsvAnnotationFile fresh(path, catalogue());
            fresh.setListedNames(listed);
            fresh.refresh();
            QCOMPARE(storeAnswers(fresh, listed), storeAnswers(store, listed));
            // Put back, told as a save is told.
            QCOMPARE(replaced.last().at(1).toByteArray(), after);
            QCOMPARE(replaced.last().at(2).toByteArray(), before);
            QCOMPARE(saved.last().at(0).toString(), names.at(save));
        }
    }
}

// Many rows, so that names share runs of slots in the table of names.
void AnnotationStoreTest::rowsRemovedInAnyOrderLeaveTheOthersFound()
{
    QStringList names;
    QByteArray content = headerLine();
    for (int i = 0; i < 400; ++i) {
        names.append(u"img%1.png"_qs.arg(i, 5, 10, QChar(u'0')));
        content += row(names.last(), {i % 19 + 1});
    }
    writeFile(path, content);
    CsvAnnotationFile store(path, catalogue());
    store.setListedNames(names);
    store.refresh();
    QRandomGenerator random(5);
    QStringList left = names;
    while (left.size() > 1) {
        const QString name = left.takeAt(random.bounded(left.size()));
        QCOMPARE(store.putBackRow(name, store.row(name), QByteArray()), SaveResult::Saved);
        if (left.size() % 50 == 0) {
            for (const QString &kept : std::as_const(left))
                QVERIFY2(store.facts(kept).hasRow, qPrintable(kept));
            QCOMPARE(storeAnswers(store, names), readersAnswers(path, names));
        }
    }
    QCOMPARE(readFile(path), headerLine() + row(left.first(), {int(names.indexOf(left.first()) % 19 + 1)}));
    // Gone rows come back where they sort.
    QCOMPARE(store.putBackRow(names.first(), QByteArray(), row(names.first()).chopped(1)),
             SaveResult::Saved);
    QCOMPARE(storeAnswers(store, names), readersAnswers(path, names));
}

void AnnotationStoreTest::putBackIsRefusedWhenTheRowIsNotTheOneExpected()
{
    const QByteArray content = headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs, {2});
    writeFile(path, content);
    CsvAnnotationFile store(path, catalogue());
    store.refresh();
    QSignalSpy saved(&store, &CsvAnnotationFile::rowSaved);
    const QByteArray rowA = row(u"a.png"_qs, {1}).chopped(1);
    QCOMPARE(store.putBackRow(u"a.png"_qs, row(u"a.png"_qs, {3}).chopped(1), QByteArray()),
             SaveResult::RowChanged);
    QCOMPARE(store.putBackRow(u"c.png"_qs, rowA, QByteArray()), SaveResult::RowChanged);
    QCOMPARE(store.putBackRow(u"b.png"_qs, QByteArray(), rowA), SaveResult::RowChanged);
    // Another program's edit is seen under the lock, before the put-back.
    writeFile(path, headerLine() + row(u"a.png"_qs, {1, 2}) + row(u"b.png"_qs, {2}));
    QCOMPARE(store.putBackRow(u"a.png"_qs, rowA, QByteArray()), SaveResult::RowChanged);
    QCOMPARE(readFile(path), headerLine() + row(u"a.png"_qs, {1, 2}) + row(u"b.png"_qs, {2}));
    QCOMPARE(saved.count(), 0);
    // The put-back keeps every rule of a save.
    QCOMPARE(store.putBackRow(u"a,1.png"_qs, QByteArray(), rowA), SaveResult::NameNotStorable);
    writeFile(path, "name,score\na.png,1\n");
    QCOMPARE(store.putBackRow(u"a.png"_qs, "a.png,1", QByteArray()), SaveResult::ForeignHeader);
    QCOMPARE(readFile(path), QByteArray("name,score\na.png,1\n"));
}

QTEST_GUILESS_MAIN(AnnotationStoreTest)
#include "tst_csvannotationfile.moc"
