#include "annotationfile.h"
#include "fileoracle.h"
#include "annotationformat.h"
#include "testwindow.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace AnnotationFormat;

class AnnotationFormatTest final : public QObject
{
    Q_OBJECT

private slots:
    void linesEndAtLfOrCrLfAndTheLastNeedsNoLineEnd_data();
    void linesEndAtLfOrCrLfAndTheLastNeedsNoLineEnd();
    void readingSkipsAByteOrderMarkAndTellsTextFromOtherBytes_data();
    void readingSkipsAByteOrderMarkAndTellsTextFromOtherBytes();
    void savingReplacesOrAddsTheRowAndSorts_data();
    void savingReplacesOrAddsTheRowAndSorts();
    void fieldsSplitAtEveryCommaKeepingEmptyOnes_data();
    void fieldsSplitAtEveryCommaKeepingEmptyOnes();
    void onlyAnExactOneAfterTheFirstFieldIsASetFlag_data();
    void onlyAnExactOneAfterTheFirstFieldIsASetFlag();
    void readersFindTheFirstLineWhoseFirstFieldIsTheName();
    void theFirstRowOfANameDecidesWhetherItIsMarked();
    void labelsAreNamedByTheHeaderAtTheSamePosition_data();
    void labelsAreNamedByTheHeaderAtTheSamePosition();
    void lastMarkedLineIsFoundFromTheEnd();
    void dataRowsSortByUtf16CodeUnitsBelowTheFirstLine_data();
    void dataRowsSortByUtf16CodeUnitsBelowTheFirstLine();
};

void AnnotationFormatTest::linesEndAtLfOrCrLfAndTheLastNeedsNoLineEnd_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("LF") << u"h\na,1\n"_qs << QStringList{u"h"_qs, u"a,1"_qs};
    QTest::newRow("CR LF") << u"h\r\na,1\r\n"_qs << QStringList{u"h"_qs, u"a,1"_qs};
    QTest::newRow("no final line end") << u"h\na,1"_qs << QStringList{u"h"_qs, u"a,1"_qs};
    QTest::newRow("CR LF, no final line end") << u"h\r\na,1"_qs << QStringList{u"h"_qs, u"a,1"_qs};
    QTest::newRow("blank lines count") << u"h\n\r\n\na"_qs
                                       << QStringList{u"h"_qs, QString(), QString(), u"a"_qs};
    QTest::newRow("empty") << QString() << QStringList();
    QTest::newRow("one line end") << u"\n"_qs << QStringList{QString()};
}

void AnnotationFormatTest::linesEndAtLfOrCrLfAndTheLastNeedsNoLineEnd()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    QCOMPARE(splitLines(text), lines);
}

void AnnotationFormatTest::readingSkipsAByteOrderMarkAndTellsTextFromOtherBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("isText");
    QTest::newRow("UTF-8") << QByteArray("\xe5\x9b\xbe,a\r\nb")
                           << QStringList{u"图,a"_qs, u"b"_qs} << true;
    QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbfh\nb\n")
                                     << QStringList{u"h"_qs, u"b"_qs} << true;
    QTest::newRow("NUL byte") << QByteArray("h\na\0,1\n", 7) << QStringList{u"h"_qs, u"a\0,1"_qs}
                              << false;
    QTest::newRow("invalid UTF-8") << QByteArray("h\ncaf\xe9,1\n")
                                   << QStringList{u"h"_qs, u"caf\ufffd,1"_qs} << false;
    QTest::newRow("sequence cut at the end")
        << QByteArray("h\n\xe5\x9b") << QStringList{u"h"_qs, u"\ufffd\ufffd"_qs} << false;
}

void AnnotationFormatTest::readingSkipsAByteOrderMarkAndTellsTextFromOtherBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    QFETCH(bool, isText);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"labels.csv"_qs);
    TestWindow::writeFile(path, bytes);

    const AnnotationText read = FileOracle::read(path);
    QCOMPARE(read.status, AnnotationText::Read);
    QCOMPARE(read.lines, lines);
    QCOMPARE(read.isText, isText);
}

void AnnotationFormatTest::savingReplacesOrAddsTheRowAndSorts_data()
{
    using TestWindow::row;
    const QByteArray header = TestWindow::headerLine();
    QTest::addColumn<QByteArray>("before"); // null: no file
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("no file") << QByteArray() << header + row(u"a.png"_qs, {1, 11});
    QTest::newRow("empty file") << QByteArray("") << header + row(u"a.png"_qs, {1, 11});
    QTest::newRow("header only, CR LF")
        << header.chopped(1) + "\r\n" << header + row(u"a.png"_qs, {1, 11});
    QTest::newRow("row replaced, order kept")
        << header + row(u"B.png"_qs) + row(u"a.png"_qs, {2}) + row(u"b.png"_qs, {3})
        << header + row(u"B.png"_qs) + row(u"a.png"_qs, {1, 11}) + row(u"b.png"_qs, {3});
    QTest::newRow("blank line moves up, last line without line end")
        << header + row(u"b.png"_qs) + "\n" + row(u"a.png"_qs).chopped(1)
        << header + "\n" + row(u"a.png"_qs, {1, 11}) + row(u"b.png"_qs);
    QTest::newRow("nothing but line ends")
        << QByteArray("\n\r\n\n") << header + row(u"a.png"_qs, {1, 11});
    QTest::newRow("first of two rows replaced, the later kept")
        << header + row(u"a.png"_qs, {5}) + row(u"a.png"_qs, {2})
        << header + row(u"a.png"_qs, {1, 11}) + row(u"a.png"_qs, {2});
    QTest::newRow("a line of the name alone is its row")
        << header + "a.png\n" + row(u"a.png"_qs, {2})
        << header + row(u"a.png"_qs, {1, 11}) + row(u"a.png"_qs, {2});
    QTest::newRow("longer name and other case are other images")
        << header + row(u"A.png"_qs) + row(u"a.png.png"_qs) + row(u"xa.png"_qs)
        << header + row(u"A.png"_qs) + row(u"a.png"_qs, {1, 11}) + row(u"a.png.png"_qs)
               + row(u"xa.png"_qs);
    QTest::newRow("byte-order mark dropped")
        << "\xef\xbb\xbf" + header << header + row(u"a.png"_qs, {1, 11});
}

void AnnotationFormatTest::savingReplacesOrAddsTheRowAndSorts()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"labels.csv"_qs);
    if (!before.isNull())
        TestWindow::writeFile(path, before);
    const QStringList catalogue = TestWindow::catalogue();

    QCOMPARE(FileOracle::saveRow(path, u"a.png"_qs, catalogue,
                                     {catalogue.at(10), u"不在目录中"_qs, catalogue.at(0)}),
             SaveResult::Saved);
    QCOMPARE(TestWindow::readFile(path), after);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"labels.csv"_qs});
}

void AnnotationFormatTest::fieldsSplitAtEveryCommaKeepingEmptyOnes_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("fields");
    QTest::newRow("plain") << u"a.png,1,0"_qs << QStringList{u"a.png"_qs, u"1"_qs, u"0"_qs};
    QTest::newRow("adjacent and trailing")
        << u"a,,1,"_qs << QStringList{u"a"_qs, QString(), u"1"_qs, QString()};
    QTest::newRow("blanks kept") << u" a , 1"_qs << QStringList{u" a "_qs, u" 1"_qs};
    QTest::newRow("empty line") << QString() << QStringList{QString()};
}

void AnnotationFormatTest::fieldsSplitAtEveryCommaKeepingEmptyOnes()
{
    QFETCH(QString, line);
    QFETCH(QStringList, fields);
    QCOMPARE(splitFields(line), fields);
    QCOMPARE(firstField(line), fields.first());
}

void AnnotationFormatTest::onlyAnExactOneAfterTheFirstFieldIsASetFlag_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("set");
    const QString nineteenZeros = QStringList(19, u"0"_qs).join(u',');
    QTest::newRow("first flag") << u"a.png,1,0"_qs << true;
    QTest::newRow("last field") << u"a.png,0,0,1"_qs << true;
    QTest::newRow("beyond the header") << u"a.png,"_qs + nineteenZeros + u",1"_qs << true;
    QTest::newRow("before an empty field") << u"a.png,1,"_qs << true;
    QTest::newRow("all zeros") << u"a.png,"_qs + nineteenZeros << false;
    QTest::newRow("blank before") << u"a.png, 1"_qs << false;
    QTest::newRow("blank after") << u"a.png,1 "_qs << false;
    QTest::newRow("two") << u"a.png,2"_qs << false;
    QTest::newRow("eleven") << u"a.png,11"_qs << false;
    QTest::newRow("empty fields") << u"a.png,,"_qs << false;
    QTest::newRow("first field only") << u"1"_qs << false;
    QTest::newRow("one as the name") << u"1,0"_qs << false;
    QTest::newRow("empty line") << QString() << false;
}

void AnnotationFormatTest::onlyAnExactOneAfterTheFirstFieldIsASetFlag()
{
    QFETCH(QString, line);
    QFETCH(bool, set);
    QCOMPARE(hasSetFlag(line), set);
}

void AnnotationFormatTest::readersFindTheFirstLineWhoseFirstFieldIsTheName()
{
    const QStringList lines{u"a.png,0"_qs,     u"图片名称,x"_qs, u"a.png.png,1"_qs,
                            u"A.png,1"_qs,     u"a.png,1"_qs,    u"a.png,0"_qs};
    QCOMPARE(findRow(lines, u"a.png"_qs), 0);
    QCOMPARE(findRow(lines, u"a.png"_qs, 1), 4);
    QCOMPARE(findRow(lines, u"A.png"_qs, 1), 3);
    QCOMPARE(findRow(lines, u"a"_qs), -1);
    QCOMPARE(findRow(lines, u"b.png"_qs), -1);
    QCOMPARE(findRow({u"a.png"_qs}, u"a.png"_qs), 0);
}

void AnnotationFormatTest::theFirstRowOfANameDecidesWhetherItIsMarked()
{
    const QStringList lines{u"图片名称,x,y"_qs, u"a.png,0,0"_qs, u"a.png,1,0"_qs,
                            u"b.png,0,1"_qs,   u"b.png,0,0"_qs, QString(),
                            u"c.png,0,0,1"_qs, u"A.png,0"_qs};
    const QHash<QStringView, bool> marked = markedByName(lines);
    QCOMPARE(marked.value(u"a.png"_qs), false);
    QCOMPARE(marked.value(u"b.png"_qs), true);
    QCOMPARE(marked.value(u"c.png"_qs), true);

    const MarkCounts counts = countMarked(
        lines, {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"A.png"_qs, u"d.png"_qs, u"B.png"_qs});
    QCOMPARE(counts.marked, 2);
    QCOMPARE(counts.unmarked, 4);
}

void AnnotationFormatTest::labelsAreNamedByTheHeaderAtTheSamePosition_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QStringList>("labels");
    QTest::newRow("column order") << u"a,1,0,1"_qs << QStringList{u"甲"_qs, u"丙"_qs};
    QTest::newRow("beyond the header ignored") << u"a,0,1,0,1,1"_qs << QStringList{u"乙"_qs};
    QTest::newRow("short row") << u"a,1"_qs << QStringList{u"甲"_qs};
    QTest::newRow("only exact ones") << u"a, 1,2,1 "_qs << QStringList();
}

void AnnotationFormatTest::labelsAreNamedByTheHeaderAtTheSamePosition()
{
    QFETCH(QString, row);
    QFETCH(QStringList, labels);
    QCOMPARE(labelsOfRow(u"图片名称,甲,乙,丙"_qs, row), labels);
}

void AnnotationFormatTest::lastMarkedLineIsFoundFromTheEnd()
{
    QCOMPARE(lastMarkedLine({u"h,x"_qs, u"a,1"_qs, u"b,0,1"_qs, u"c,0"_qs, u"1"_qs, QString()}),
             2);
    QCOMPARE(lastMarkedLine({u"h,x"_qs, u"a,0"_qs, u"b, 1"_qs}), -1);
    QCOMPARE(lastMarkedLine({}), -1);
}

void AnnotationFormatTest::dataRowsSortByUtf16CodeUnitsBelowTheFirstLine_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("sorted");
    QTest::newRow("digits, not numbers")
        << QStringList{u"h"_qs, u"2.png,1"_qs, u"10.png,0"_qs}
        << QStringList{u"h"_qs, u"10.png,0"_qs, u"2.png,1"_qs};
    QTest::newRow("upper case first")
        << QStringList{u"h"_qs, u"a.png,0"_qs, u"B.png,0"_qs}
        << QStringList{u"h"_qs, u"B.png,0"_qs, u"a.png,0"_qs};
    QTest::newRow("surrogate pair before U+FF01")
        << QStringList{u"h"_qs, u"\uff01.png,0"_qs, u"\U0001F600.png,0"_qs}
        << QStringList{u"h"_qs, u"\U0001F600.png,0"_qs, u"\uff01.png,0"_qs};
    QTest::newRow("rows of one name keep their file order")
        << QStringList{u"h"_qs, u"a.png,1"_qs, u"a.png,0"_qs, u"a.png.png,0"_qs, u"a.png"_qs}
        << QStringList{u"h"_qs, u"a.png,1"_qs, u"a.png,0"_qs, u"a.png"_qs, u"a.png.png,0"_qs};
    QTest::newRow("whole lines, not names: \" \" sorts before \",\"")
        << QStringList{u"h"_qs, u"a,0"_qs, u"c,1"_qs, u"a (2),0"_qs, u"c,0"_qs, u"b,0"_qs}
        << QStringList{u"h"_qs, u"a (2),0"_qs, u"a,0"_qs, u"b,0"_qs, u"c,1"_qs, u"c,0"_qs};
    QTest::newRow("blank line moves up")
        << QStringList{u"h"_qs, u"a.png,0"_qs, QString()}
        << QStringList{u"h"_qs, QString(), u"a.png,0"_qs};
    QTest::newRow("first line stays first")
        << QStringList{u"z.png,1"_qs, u"b.png,0"_qs, u"a.png,0"_qs}
        << QStringList{u"z.png,1"_qs, u"a.png,0"_qs, u"b.png,0"_qs};
}

void AnnotationFormatTest::dataRowsSortByUtf16CodeUnitsBelowTheFirstLine()
{
    QFETCH(QStringList, lines);
    QFETCH(QStringList, sorted);
    sortDataRows(lines);
    QCOMPARE(lines, sorted);
}

QTEST_MAIN(AnnotationFormatTest)
#include "tst_annotationformat.moc"
