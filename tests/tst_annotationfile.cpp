#include "filesizelimit.h"
#include "testwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>


using namespace TestWindow;

class AnnotationFileTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void workedExampleWritesTheFileByteForByte();
    void readersAcceptEveryLineEndAndAByteOrderMark_data();
    void readersAcceptEveryLineEndAndAByteOrderMark();
    void theSavedRowIsTheFirstRowOfANameThatTheReadersShow();
    void labelsAreNamedByTheFileHeaderWhateverTheRowLength();
    void flagIsSetByChangesAndClearedOnlyByAWrite();
    void missingFileIsLoggedAndAnUnreadableOneReported();
    void writeFailingPartWayLeavesTheOldFileAndTheFlag();
    void symlinkAndPermissionsSurviveASave();
    void readOnlyFileIsNotReplaced();
    void fileThatCannotBeCreatedIsReported();
    void saveWithoutCurrentImageIsRefused();
    void rowOfANameIsTheLineWithTheNameAndAComma();
    void nameWithACommaALineEndOrALeadingQuoteIsNeverWritten_data();
    void nameWithACommaALineEndOrALeadingQuoteIsNeverWritten();
    void foreignHeaderIsNotFilled_data();
    void foreignHeaderIsNotFilled();
    void fileThatIsNotUtf8TextIsNotRewritten_data();
    void fileThatIsNotUtf8TextIsNotRewritten();

private:
    void showImages(const QStringList &names, const QString &folderName = u"images"_qs);
    void mark(const QList<int> &entries);
    void removeLabel(const QString &text);
    void expectOnlyBox(QMessageBox::Icon icon, const QString &title, const QString &text);
    // Saves where the save must be refused with `text`: the file and the
    // flag stay as they were.
    void expectRefusedSave(const QString &text);
};

void AnnotationFileTest::init()
{
    openWindow();
}

void AnnotationFileTest::cleanup()
{
    closeWindow();
}

void AnnotationFileTest::showImages(const QStringList &names, const QString &folderName)
{
    loadFolder(*answerer, window.get(), makeFolder(folderName, names));
}

void AnnotationFileTest::mark(const QList<int> &entries)
{
    for (const int catalogueRow : entries)
        call(window.get(), "annotate", entry(catalogueRow));
}

void AnnotationFileTest::removeLabel(const QString &text)
{
    const QList<QListWidgetItem *> items =
        annotationList(window.get())->findItems(text, Qt::MatchExactly);
    QCOMPARE(items.size(), 1);
    QVERIFY(QMetaObject::invokeMethod(window.get(), "deleteAnnotation",
                                      Q_ARG(QListWidgetItem *, items.first())));
}

void AnnotationFileTest::expectOnlyBox(QMessageBox::Icon icon, const QString &title,
                                       const QString &text)
{
    QCOMPARE(answerer->boxTexts(), QStringList{text});
    QCOMPARE(answerer->boxes.first().icon, icon);
    QCOMPARE(answerer->boxes.first().title, title);
    answerer->clear();
}

void AnnotationFileTest::expectRefusedSave(const QString &text)
{
    const bool existed = QFile::exists(csvPath);
    const QByteArray before = readFile(csvPath);
    answerer->clear();
    QVERIFY(annotationsModified(window.get()));
    call(window.get(), "saveAnnotations");
    expectOnlyBox(QMessageBox::Warning, u"Error"_qs, text);
    QCOMPARE(QFile::exists(csvPath), existed);
    QCOMPARE(readFile(csvPath), before);
    QVERIFY(annotationsModified(window.get()));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
             existed ? QStringList{u"labels.csv"_qs} : QStringList());
}

void AnnotationFileTest::workedExampleWritesTheFileByteForByte()
{
    showImages({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    call(window.get(), "nextImage");
    mark({2, 19});
    call(window.get(), "saveAnnotations");
    call(window.get(), "previousImage");
    mark({11, 1});
    call(window.get(), "saveAnnotations");
    QVERIFY(answerer->boxes.isEmpty());
    const QByteArray expected = headerLine() + "a.png,1,0,0,0,0,0,0,0,0,0,1,0,0,0,0,0,0,0,0\n"
                                + "b.png,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1\n";
    QCOMPARE(readFile(csvPath), expected);

    QVERIFY(callIsImageMarked(window.get(), u"a.png"_qs));
    QVERIFY(callIsImageMarked(window.get(), u"b.png"_qs));
    QVERIFY(!callIsImageMarked(window.get(), u"c.png"_qs));
    QVERIFY(!callIsImageMarked(window.get(), u"A.png"_qs));

    call(window.get(), "loadCurrentImage");
    QCOMPARE(currentAnnotations(window.get()), (QStringList{entry(1), entry(11)}));
    QCOMPARE(listTexts(window.get()), (QStringList{entry(1), entry(11)}));
    DebugLog log;
    removeLabel(entry(11));
    QCOMPARE(log.lines(), QStringList{u"Annotation removed: \"树根_RO\""_qs});
    call(window.get(), "saveAnnotations");
    QCOMPARE(readFile(csvPath), headerLine() + "a.png,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"
                                    + "b.png,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1\n");
}

void AnnotationFileTest::readersAcceptEveryLineEndAndAByteOrderMark_data()
{
    QTest::addColumn<QByteArray>("content");
    const QByteArray lf = headerLine() + row(u"b.png"_qs, {19}) + row(u"a.png"_qs, {1, 11});
    QByteArray crLf = lf;
    crLf.replace("\n", "\r\n");
    QTest::newRow("LF") << lf;
    QTest::newRow("CR LF") << crLf;
    QTest::newRow("LF, no final line end") << lf.chopped(1);
    QTest::newRow("CR LF, no final line end") << crLf.chopped(2);
    QTest::newRow("byte-order mark") << "\xef\xbb\xbf" + lf;
}

void AnnotationFileTest::readersAcceptEveryLineEndAndAByteOrderMark()
{
    QFETCH(QByteArray, content);
    writeFile(csvPath, content);
    showImages({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    QCOMPARE(currentAnnotations(window.get()), (QStringList{entry(1), entry(11)}));
    QVERIFY(callIsImageMarked(window.get(), u"a.png"_qs));
    QVERIFY(callIsImageMarked(window.get(), u"b.png"_qs));
    QVERIFY(!callIsImageMarked(window.get(), u"c.png"_qs));
    QCOMPARE(label(window.get(), "markCountLabel")->text(), u"已标记: 2 | 未标记: 1"_qs);
    QCOMPARE(readFile(csvPath), content);
    QVERIFY(answerer->boxes.isEmpty());
}

void AnnotationFileTest::theSavedRowIsTheFirstRowOfANameThatTheReadersShow()
{
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {5}) + "\n" + row(u"a.png"_qs)
                           + row(u"b.png"_qs) + row(u"b.png"_qs, {2}));
    showImages({u"a.png"_qs, u"b.png"_qs});
    QCOMPARE(currentAnnotations(window.get()), QStringList{entry(5)});
    QVERIFY(callIsImageMarked(window.get(), u"a.png"_qs));
    QVERIFY(!callIsImageMarked(window.get(), u"b.png"_qs));
    QCOMPARE(label(window.get(), "markCountLabel")->text(), u"已标记: 1 | 未标记: 1"_qs);

    mark({7});
    call(window.get(), "saveAnnotations");
    QCOMPARE(readFile(csvPath), headerLine() + "\n" + row(u"a.png"_qs, {5, 7})
                                    + row(u"a.png"_qs) + row(u"b.png"_qs)
                                    + row(u"b.png"_qs, {2}));
    call(window.get(), "loadCurrentImage");
    QCOMPARE(currentAnnotations(window.get()), (QStringList{entry(5), entry(7)}));

    // The later row of the name sorts before the saved one, yet stays after it.
    call(window.get(), "nextImage");
    mark({1});
    call(window.get(), "saveAnnotations");
    call(window.get(), "loadCurrentImage");
    QCOMPARE(currentAnnotations(window.get()), QStringList{entry(1)});
    QCOMPARE(readFile(csvPath), headerLine() + "\n" + row(u"a.png"_qs, {5, 7})
                                    + row(u"a.png"_qs) + row(u"b.png"_qs, {1})
                                    + row(u"b.png"_qs, {2}));
    QVERIFY(answerer->boxes.isEmpty());
}

void AnnotationFileTest::labelsAreNamedByTheFileHeaderWhateverTheRowLength()
{
    writeFile(csvPath, "图片名称,甲,乙,丙\na.png,1,0,1,1\nb.png,0,0,0,1\nc.png,0,1\n");
    showImages({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    QCOMPARE(currentAnnotations(window.get()), (QStringList{u"甲"_qs, u"丙"_qs}));
    call(window.get(), "nextImage");
    QCOMPARE(currentAnnotations(window.get()), QStringList());
    QVERIFY(callIsImageMarked(window.get(), u"b.png"_qs)); // a "1" beyond the header counts
    call(window.get(), "nextImage");
    QCOMPARE(listTexts(window.get()), QStringList{u"乙"_qs});
}

void AnnotationFileTest::flagIsSetByChangesAndClearedOnlyByAWrite()
{
    call(window.get(), "saveAnnotations");
    expectOnlyBox(QMessageBox::Information, u"Warning"_qs, u"无需更改"_qs);
    QVERIFY(!QFile::exists(csvPath));

    showImages({u"a.png"_qs});
    mark({3, 3});
    QCOMPARE(currentAnnotations(window.get()), QStringList{entry(3)});
    call(window.get(), "saveAnnotations");
    QVERIFY(!annotationsModified(window.get()));
    mark({3});
    QVERIFY(!annotationsModified(window.get()));
    const QByteArray saved = headerLine() + row(u"a.png"_qs, {3});
    QCOMPARE(readFile(csvPath), saved);

    // A change undone is still a change: the row is written again.
    mark({4});
    DebugLog log;
    removeLabel(entry(4));
    QCOMPARE(log.lines(), QStringList{u"Annotation removed: \"表面损伤_OB\""_qs});
    QVERIFY(annotationsModified(window.get()));
    writeFile(csvPath, saved + "\n");
    call(window.get(), "saveAnnotations");
    QCOMPARE(readFile(csvPath), headerLine() + "\n" + row(u"a.png"_qs, {3}));
    QVERIFY(answerer->boxes.isEmpty());

    call(window.get(), "saveAnnotations");
    expectOnlyBox(QMessageBox::Information, u"Warning"_qs, u"无需更改"_qs);
}

void AnnotationFileTest::missingFileIsLoggedAndAnUnreadableOneReported()
{
    DebugLog log;
    showImages({u"a.png"_qs});
    QVERIFY(log.lines().contains(u"未找到标签文件."_qs));
    QVERIFY(answerer->boxes.isEmpty());

    QVERIFY(QDir().mkdir(csvPath));
    call(window.get(), "loadCurrentImage");
    expectOnlyBox(QMessageBox::Warning, u"Error"_qs, u"打开标签文件失败."_qs);
    QVERIFY(!callIsImageMarked(window.get(), u"a.png"_qs));
    QVERIFY(answerer->boxes.isEmpty());

    mark({1});
    call(window.get(), "saveAnnotations");
    expectOnlyBox(QMessageBox::Warning, u"Error"_qs, u"无法打开用于保存注释的文件"_qs);
    QVERIFY(QFileInfo(csvPath).isDir());
    QVERIFY(annotationsModified(window.get()));
}

void AnnotationFileTest::writeFailingPartWayLeavesTheOldFileAndTheFlag()
{
    QByteArray big = headerLine();
    for (int i = 0; i < 2000; ++i)
        big += row(u"img%1.png"_qs.arg(i, 5, 10, QChar(u'0')), {i % 19 + 1});
    writeFile(csvPath, big);
    showImages({u"a.png"_qs});
    mark({1});

    {
        const FileSizeLimit limit(4096);
        call(window.get(), "saveAnnotations");
    }
    expectOnlyBox(QMessageBox::Warning, u"Error"_qs, u"保存标签文件失败，标签未保存"_qs);
    QCOMPARE(readFile(csvPath), big);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{u"labels.csv"_qs});
    QVERIFY(annotationsModified(window.get()));

    // The changes are still flagged, so the next save writes them.
    call(window.get(), "saveAnnotations");
    QVERIFY(answerer->boxes.isEmpty());
    QVERIFY(!annotationsModified(window.get()));
    QCOMPARE(readFile(csvPath),
             headerLine() + row(u"a.png"_qs, {1}) + big.mid(headerLine().size()));
}

void AnnotationFileTest::symlinkAndPermissionsSurviveASave()
{
    QVERIFY(QDir(dir->path()).mkdir(u"real"_qs));
    const QString target = dir->filePath(u"real/labels.csv"_qs);
    writeFile(target, headerLine() + row(u"b.png"_qs));
    QVERIFY(QFile::setPermissions(target,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QVERIFY(QFile::link(target, csvPath));
    showImages({u"a.png"_qs});
    mark({2});
    call(window.get(), "saveAnnotations");
    QVERIFY(answerer->boxes.isEmpty());

    QCOMPARE(QFileInfo(csvPath).symLinkTarget(), target);
    QCOMPARE(readFile(target), headerLine() + row(u"a.png"_qs, {2}) + row(u"b.png"_qs));
    QCOMPARE(QFile::permissions(target),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
                 | QFile::ReadGroup);
    QCOMPARE(QDir(dir->filePath(u"real"_qs)).entryList(QDir::Files | QDir::Hidden),
             QStringList{u"labels.csv"_qs});
}

void AnnotationFileTest::readOnlyFileIsNotReplaced()
{
    writeFile(csvPath, headerLine() + row(u"b.png"_qs));
    QVERIFY(QFile::setPermissions(csvPath, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    showImages({u"a.png"_qs});
    mark({2});
    expectRefusedSave(u"无法打开用于保存注释的文件"_qs);
    // Owner, group and others; the user bits tell what this process may do.
    QCOMPARE(QFile::permissions(csvPath) & 0x7077,
             QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
}

void AnnotationFileTest::fileThatCannotBeCreatedIsReported()
{
    csvPath = dir->filePath(u"gone/labels.csv"_qs);
    window = create(*answerer, csvPath);
    showImages({u"a.png"_qs});
    mark({2});
    expectRefusedSave(u"无法打开用于保存注释的文件"_qs);
    QVERIFY(!QFileInfo::exists(dir->filePath(u"gone"_qs)));
}

void AnnotationFileTest::saveWithoutCurrentImageIsRefused()
{
    const QByteArray content = headerLine() + row(u"a.png"_qs, {1});
    writeFile(csvPath, content);
    mark({2});
    expectRefusedSave(u"没有当前图片，无法保存"_qs);
    QCOMPARE(readFile(csvPath), content);
}

void AnnotationFileTest::rowOfANameIsTheLineWithTheNameAndAComma()
{
    writeFile(csvPath, headerLine() + row(u"a.png.png"_qs, {3}));
    showImages({u"a.png"_qs, u"a.png.png"_qs});
    QCOMPARE(currentAnnotations(window.get()), QStringList());
    mark({1});
    call(window.get(), "saveAnnotations");
    QCOMPARE(readFile(csvPath),
             headerLine() + row(u"a.png"_qs, {1}) + row(u"a.png.png"_qs, {3}));
}

void AnnotationFileTest::nameWithACommaALineEndOrALeadingQuoteIsNeverWritten_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("comma") << u"a,1.png"_qs;
    QTest::newRow("LF") << u"a\nb.png"_qs;
    QTest::newRow("CR") << u"a\rb.png"_qs;
    QTest::newRow("double quote first") << u"\"a.png"_qs;
}

void AnnotationFileTest::nameWithACommaALineEndOrALeadingQuoteIsNeverWritten()
{
    QFETCH(QString, name);
    writeFile(csvPath, headerLine() + row(u"b.png"_qs, {1}));
    showImages({name});
    QCOMPARE(imageFiles(window.get()), QStringList{name});
    answerer->clear();
    mark({2});
    expectRefusedSave(u"图片名称含有逗号、换行或以引号开头，无法保存"_qs);
}

void AnnotationFileTest::foreignHeaderIsNotFilled_data()
{
    QTest::addColumn<QByteArray>("content");
    const auto withColumns = [](const QStringList &columns) {
        return (QStringList{u"图片名称"_qs} + columns).join(u',').toUtf8() + "\n"
             + row(u"b.png"_qs, {1});
    };
    QStringList renamed = catalogue();
    renamed[3] = u"表面损伤_XX"_qs;
    QStringList reordered = catalogue();
    reordered.swapItemsAt(0, 1);
    QTest::newRow("other text") << withColumns(renamed);
    QTest::newRow("other order") << withColumns(reordered);
    QTest::newRow("fewer columns") << withColumns(catalogue().mid(0, 18));
    QTest::newRow("more columns") << withColumns(catalogue() + QStringList{u"新标签_NE"_qs});
    QTest::newRow("name column only") << withColumns({});
    QTest::newRow("no header row") << row(u"z.png"_qs, {4}) + row(u"b.png"_qs);
    QTest::newRow("blank line before the header") << "\n" + headerLine() + row(u"b.png"_qs);
    QTest::newRow("notes") << QByteArray("shopping list\nmilk, eggs\n");
    QTest::newRow("CSV with another header") << QByteArray("name,score\na.png,1\n");
}

void AnnotationFileTest::foreignHeaderIsNotFilled()
{
    QFETCH(QByteArray, content);
    writeFile(csvPath, content);
    showImages({u"a.png"_qs});
    answerer->clear();
    mark({2});
    expectRefusedSave(u"标签文件的表头与标签目录不一致，未保存"_qs);
}

void AnnotationFileTest::fileThatIsNotUtf8TextIsNotRewritten_data()
{
    QTest::addColumn<QByteArray>("tail");
    QTest::newRow("NUL byte") << QByteArray("c.png,0\0,1\n", 11);
    QTest::newRow("Latin-1") << QByteArray("caf\xe9.png,1\n");
    QTest::newRow("GBK") << QByteArray("\xb1\xea\xc7\xa9.png,1\n");
    QTest::newRow("cut sequence at the end") << QByteArray("\xe5\x9b");
}

void AnnotationFileTest::fileThatIsNotUtf8TextIsNotRewritten()
{
    QFETCH(QByteArray, tail);
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {1}) + tail);
    showImages({u"a.png"_qs});
    QCOMPARE(currentAnnotations(window.get()), QStringList{entry(1)});
    answerer->clear();
    mark({2});
    expectRefusedSave(u"标签文件不是 UTF-8 文本，未保存"_qs);
}

QTEST_MAIN(AnnotationFileTest)
#include "tst_annotationfile.moc"
