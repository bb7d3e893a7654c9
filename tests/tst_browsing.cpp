#include "testwindow.h"
#include "windowactivity.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QMetaObject>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestWindow;

namespace {

QString debugLine(const QString &path)
{
    return u"加载图像路径： \""_qs + QDir::toNativeSeparators(path) + u'"';
}

} // namespace

class BrowsingTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void folderListsMatchingFilesByNameIgnoringCase();
    void cancelledFolderDialogChangesNothing();
    void folderWithoutImagesChangesNothing();
    void imagesWithNamesThatAreNotUtf8AreCountedAfterTheFolderIsShown();
    void nameBeginningWithAByteOrderMarkIsListedAndSavedUnderItsOwnName();
    void displayShowsNamePositionCountsAndDebugLine();
    void picturesAreScaledIntoTheImageArea();
    void viewButtonsStepThroughTheListAndReportItsEnds();
    void saveAndMoveButtonsSaveBeforeTheyMove();
    void undecodablePictureShowsItsOwnStoredLabels();
    void countsAgreeWithIsImageMarkedAndFollowTheFile();
    void jumpGoesToTheLastMarkedLine_data();
    void jumpGoesToTheLastMarkedLine();
    void failedJumpKeepsTheCurrentImageAndItsUnsavedLabels();
    void refusedSaveStaysOnTheImageUntilTheCauseIsMended_data();
    void refusedSaveStaysOnTheImageUntilTheCauseIsMended();

private:
    QStringList shownBoxes() const;
    void addNonImages(const QString &folder);
    Tavrelin *w() const { return window.get(); }
    QString text(const char *member) const { return label(window.get(), member)->text(); }
    void click(const QString &buttonText) { button(window.get(), buttonText)->click(); }

};

void BrowsingTest::init()
{
    openWindow();
    answerer->clear();
}

void BrowsingTest::cleanup()
{
    closeWindow();
}

// Each recorded box as "kind|title|text", so that a sequence compares in one line.
QStringList BrowsingTest::shownBoxes() const
{
    QStringList shown;
    for (const DialogAnswerer::Box &box : answerer->boxes) {
        const char *kind = box.icon == QMessageBox::Information ? "information"
                         : box.icon == QMessageBox::Warning     ? "warning"
                                                                : "other";
        shown.append(QLatin1String(kind) + u'|' + box.title + u'|' + box.text);
    }
    return shown;
}

// Entries that look like images but must never be listed.
void BrowsingTest::addNonImages(const QString &folder)
{
    writeImage(folder + u"/.a.png"_qs);
    writeFile(folder + u"/photo.jpeg"_qs, "jpeg");
    writeFile(folder + u"/scan.tif"_qs, "tif");
    QVERIFY(QDir(folder).mkdir(u"x.png"_qs));
}

void BrowsingTest::folderListsMatchingFilesByNameIgnoringCase()
{
    const QString folder = makeFolder(
        u"imgs"_qs, {u"A.PNG"_qs, u"b.png"_qs, u"C.jpg"_qs, u"a10.bmp"_qs, u"a2.bmp"_qs});
    addNonImages(folder);

    loadFolder(*answerer, w(), folder);

    QCOMPARE(imageFiles(w()), (QStringList{u"A.PNG"_qs, u"a10.bmp"_qs, u"a2.bmp"_qs,
                                           u"b.png"_qs, u"C.jpg"_qs}));
    QCOMPARE(answerer->fileDialogs.size(), 1);
    QCOMPARE(answerer->fileDialogs.first().caption, u"选择图像目录"_qs);
    QVERIFY(answerer->fileDialogs.first().options.testFlag(QFileDialog::ShowDirsOnly));
    QVERIFY(answerer->boxes.isEmpty());
    QCOMPARE(text("imageDirLabel"), u"图片目录: "_qs + QDir::toNativeSeparators(folder));
    QCOMPARE(currentIndex(w()), 0);
    QCOMPARE(text("imageNameLabel"), u"图片名称:A.PNG(1/5)"_qs);
}

void BrowsingTest::cancelledFolderDialogChangesNothing()
{
    call(w(), "loadImages");
    QCOMPARE(shownBoxes(), QStringList{u"warning|Error|未选择任何目录"_qs});
    QCOMPARE(currentIndex(w()), -1);
    QVERIFY(!button(w(), entry(1))->isEnabled());
    QCOMPARE(text("imageDirLabel"), u"图片目录: 未指定"_qs);

    const QString folder = makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs});
    loadFolder(*answerer, w(), folder);
    click(u"查看下一张"_qs);
    call(w(), "annotate", entry(4));
    answerer->clear();

    answerer->cancelFileDialog();
    call(w(), "loadImages");
    QCOMPARE(shownBoxes(), QStringList{u"warning|Error|未选择任何目录"_qs});
    QCOMPARE(currentIndex(w()), 1);
    QCOMPARE(imageFiles(w()), (QStringList{u"a.png"_qs, u"b.png"_qs}));
    QCOMPARE(text("imageNameLabel"), u"图片名称:b.png(2/2)"_qs);
    QCOMPARE(text("imageDirLabel"), u"图片目录: "_qs + QDir::toNativeSeparators(folder));
    QCOMPARE(currentAnnotations(w()), QStringList{entry(4)});
    QVERIFY(!label(w(), "imageLabel")->pixmap().isNull());
}

void BrowsingTest::folderWithoutImagesChangesNothing()
{
    const QString second = makeFolder(u"second"_qs, {});
    addNonImages(second);
    loadFolder(*answerer, w(), second);
    QCOMPARE(shownBoxes(), QStringList{u"warning|Warning|在此目录中未找到相关文件"_qs});
    QCOMPARE(text("imageDirLabel"), u"图片目录: 未指定"_qs);
    QCOMPARE(currentIndex(w()), -1);

    writeFile(csvPath, headerLine() + row(u"b.png"_qs, {2}));
    const QString first = makeFolder(u"first"_qs, {u"a.png"_qs, u"b.png"_qs});
    loadFolder(*answerer, w(), first);
    click(u"查看下一张"_qs);
    call(w(), "annotate", entry(5));

    answerer->clear();
    DebugLog log;
    loadFolder(*answerer, w(), second);
    QCOMPARE(shownBoxes(), QStringList{u"warning|Warning|在此目录中未找到相关文件"_qs});
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(imageFiles(w()), (QStringList{u"a.png"_qs, u"b.png"_qs}));
    QCOMPARE(currentIndex(w()), 1);
    QCOMPARE(text("imageDirLabel"), u"图片目录: "_qs + QDir::toNativeSeparators(first));
    QCOMPARE(text("imageNameLabel"), u"图片名称:b.png(2/2)"_qs);
    QCOMPARE(listTexts(w()), (QStringList{entry(2), entry(5)}));
    QVERIFY(annotationsModified(w()));

    // The old folder goes on as before: its labels save under its own name.
    answerer->clear();
    click(u"保存并上一张"_qs);
    QVERIFY(answerer->boxes.isEmpty());
    QCOMPARE(readFile(csvPath), headerLine() + row(u"b.png"_qs, {2, 5}));
    QCOMPARE(text("imageNameLabel"), u"图片名称:a.png(1/2)"_qs);
    click(u"查看下一张"_qs);
    QCOMPARE(listTexts(w()), (QStringList{entry(2), entry(5)}));
}

// GBK names, as an archive made on a Chinese Windows system leaves them.
void BrowsingTest::imagesWithNamesThatAreNotUtf8AreCountedAfterTheFolderIsShown()
{
    const auto writeRaw = [](const QString &folder, const QByteArray &name) {
        const int fd = ::open((QFile::encodeName(folder) + '/' + name).constData(),
                              O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
    };
    const QString mixed = makeFolder(u"mixed"_qs, {u"b.png"_qs});
    writeRaw(mixed, "\xb1\xea\xc7\xa9.png");
    writeRaw(mixed, "\xc1\xd1.JPG");
    writeRaw(mixed, ".\xb1\xea.png"); // hidden, or no image: not counted
    writeRaw(mixed, "\xb1\xea.txt");
    QCOMPARE(::mkdir((QFile::encodeName(mixed) + "/\xb1\xea.bmp").constData(), 0755), 0);

    int boxesAtDisplay = -1;
    connect(w()->activity(), &WindowActivity::currentImageChanged, this,
            [&] { boxesAtDisplay = int(answerer->boxes.size()); });
    loadFolder(*answerer, w(), mixed);
    QCOMPARE(boxesAtDisplay, 0);
    QCOMPARE(shownBoxes(),
             QStringList{u"information|Info|有 2 个图片文件的名称不是 UTF-8 编码，未列出"_qs});
    QCOMPARE(imageFiles(w()), QStringList{u"b.png"_qs});

    const QString gbkOnly = makeFolder(u"gbk"_qs, {});
    writeRaw(gbkOnly, "\xb1\xea\xc7\xa9.bmp");
    answerer->clear();
    loadFolder(*answerer, w(), gbkOnly);
    QCOMPARE(shownBoxes(), (QStringList{u"warning|Warning|在此目录中未找到相关文件"_qs,
                                        u"information|Info|有 1 个图片文件的名称不是 UTF-8 编码，未列出"_qs}));
}

// U+FEFF at the start of a name is part of it, as QDir lists it; dropped, the
// file would be shown, loaded and saved as the a.png beside it.
void BrowsingTest::nameBeginningWithAByteOrderMarkIsListedAndSavedUnderItsOwnName()
{
    const QString marked = QChar(0xFEFF) + u"a.png"_qs;
    // Out of order, so that the save rewrites every line.
    writeFile(csvPath, headerLine() + row(u"b.png"_qs, {1}) + row(marked, {2}) + row(u"a.png"_qs, {3}));
    const QString folder = makeFolder(u"imgs"_qs, {u"a.png"_qs});
    writeImage(folder + u'/' + marked);
    QCOMPARE(QFile::encodeName(QDir(folder).entryList(QDir::Files).value(1)), "\xEF\xBB\xBF" "a.png");

    loadFolder(*answerer, w(), folder);
    QCOMPARE(imageFiles(w()), (QStringList{u"a.png"_qs, marked}));
    click(u"查看下一张"_qs);
    QVERIFY(answerer->boxes.isEmpty());
    QVERIFY(!label(w(), "imageLabel")->pixmap().isNull());
    QCOMPARE(listTexts(w()), QStringList{entry(2)});

    call(w(), "annotate", entry(4));
    click(u"保存并上一张"_qs);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {3}) + row(u"b.png"_qs, {1})
                                    + row(marked, {2, 4}));
    QCOMPARE(listTexts(w()), QStringList{entry(3)});
    click(u"跳转到最后标注图片"_qs);
    QCOMPARE(currentIndex(w()), 1);
    QVERIFY(answerer->boxes.isEmpty());
}

void BrowsingTest::displayShowsNamePositionCountsAndDebugLine()
{
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs)
                           + row(u"c.png"_qs, {3, 4}) + row(u"e.png"_qs, {19}));
    const QString folder = makeFolder(
        u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs, u"e.png"_qs});
    DebugLog log;
    loadFolder(*answerer, w(), folder);

    QCOMPARE(log.lines(), QStringList{debugLine(folder + u"/a.png"_qs)});
    QCOMPARE(text("imageNameLabel"), u"图片名称:a.png(1/5)"_qs);
    QCOMPARE(text("markCountLabel"), u"已标记: 3 | 未标记: 2"_qs);
    QCOMPARE(listTexts(w()), QStringList{entry(1)});
    QCOMPARE(currentAnnotations(w()), QStringList{entry(1)});
    for (const QString &labelText : catalogue())
        QVERIFY2(button(w(), labelText)->isEnabled(), qPrintable(labelText));

    call(w(), "nextImage");
    QCOMPARE(text("imageNameLabel"), u"图片名称:b.png(2/5)"_qs);
    QVERIFY(listTexts(w()).isEmpty());
    call(w(), "nextImage");
    QCOMPARE(currentAnnotations(w()), (QStringList{entry(3), entry(4)}));
    QVERIFY(answerer->boxes.isEmpty());
}

void BrowsingTest::picturesAreScaledIntoTheImageArea()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    writeImage(folder + u"/big.png"_qs, QSize(4000, 3000));
    // Black on the left, white on the right: smooth scaling leaves greys between.
    QImage halves(100, 50, QImage::Format_RGB32);
    halves.fill(Qt::white);
    QPainter(&halves).fillRect(0, 0, 50, 50, Qt::black);
    QVERIFY(halves.save(folder + u"/small.png"_qs));
    writeImage(folder + u"/tall.png"_qs, QSize(300, 400));
    loadFolder(*answerer, w(), folder);

    QLabel *area = label(w(), "imageLabel");
    QCOMPARE(area->pixmap().size(), QSize(533, 400));
    QVERIFY(area->alignment().testFlag(Qt::AlignLeft));
    call(w(), "nextImage");
    QCOMPARE(area->pixmap().size(), QSize(600, 300));
    const QImage shown = area->pixmap().toImage();
    bool blended = false;
    for (int x = 290; x < 310; ++x)
        blended = blended || (qGray(shown.pixel(x, 150)) > 0 && qGray(shown.pixel(x, 150)) < 255);
    QVERIFY(blended);
    call(w(), "nextImage");
    QCOMPARE(area->pixmap().size(), QSize(300, 400));
}

void BrowsingTest::viewButtonsStepThroughTheListAndReportItsEnds()
{
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {1}));
    QPushButton *previous = button(w(), u"查看上一张"_qs);
    QPushButton *next = button(w(), u"查看下一张"_qs);
    loadFolder(*answerer, w(), makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs}));
    QVERIFY(previous->isEnabled() && next->isEnabled());

    previous->click();
    QCOMPARE(shownBoxes(), QStringList{u"information|Warning|已是第一张图片"_qs});
    QCOMPARE(currentIndex(w()), 0);

    // Moving neither saves nor keeps unsaved labels, and leaves the flag.
    call(w(), "annotate", entry(5));
    next->click();
    previous->click();
    QCOMPARE(currentAnnotations(w()), QStringList{entry(1)});
    QVERIFY(annotationsModified(w()));
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {1}));

    answerer->clear();
    next->click();
    next->click();
    QCOMPARE(text("imageNameLabel"), u"图片名称:c.png(3/3)"_qs);
    QVERIFY(previous->isEnabled() && next->isEnabled());
    next->click();
    QCOMPARE(shownBoxes(), QStringList{u"information|Warning|已是最后一张图片"_qs});
    QCOMPARE(currentIndex(w()), 2);

    QVERIFY(QMetaObject::invokeMethod(w(), "enableNavigationButtons", Q_ARG(bool, false)));
    QVERIFY(!previous->isEnabled() && !next->isEnabled());
    QVERIFY(QMetaObject::invokeMethod(w(), "enableNavigationButtons", Q_ARG(bool, true)));
    QVERIFY(previous->isEnabled() && next->isEnabled());
}

void BrowsingTest::saveAndMoveButtonsSaveBeforeTheyMove()
{
    loadFolder(*answerer, w(), makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs}));
    QCOMPARE(text("markCountLabel"), u"已标记: 0 | 未标记: 2"_qs);

    // The display after the move already counts the row just written.
    call(w(), "annotate", entry(2));
    click(u"保存并下一张"_qs);
    QVERIFY(answerer->boxes.isEmpty());
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {2}));
    QCOMPARE(currentIndex(w()), 1);
    QCOMPARE(text("markCountLabel"), u"已标记: 1 | 未标记: 1"_qs);

    click(u"保存并下一张"_qs);
    QCOMPARE(shownBoxes(), (QStringList{u"information|Warning|无需更改"_qs,
                                        u"information|Warning|已是最后一张图片"_qs}));

    // At the end the row is written and counted, though nothing moves.
    answerer->clear();
    call(w(), "annotate", entry(4));
    click(u"保存并下一张"_qs);
    QCOMPARE(shownBoxes(), QStringList{u"information|Warning|已是最后一张图片"_qs});
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {2}) + row(u"b.png"_qs, {4}));
    QCOMPARE(text("markCountLabel"), u"已标记: 2 | 未标记: 0"_qs);

    answerer->clear();
    click(u"保存并上一张"_qs);
    QCOMPARE(shownBoxes(), QStringList{u"information|Warning|无需更改"_qs});
    QCOMPARE(currentIndex(w()), 0);
    QCOMPARE(text("markCountLabel"), u"已标记: 2 | 未标记: 0"_qs);
}

void BrowsingTest::undecodablePictureShowsItsOwnStoredLabels()
{
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {1, 3}));
    const QString folder = makeFolder(u"imgs"_qs, {u"a.png"_qs});
    writeFile(folder + u"/b.png"_qs, "these bytes are no picture");
    loadFolder(*answerer, w(), folder);
    QCOMPARE(text("markCountLabel"), u"已标记: 1 | 未标记: 1"_qs);

    // b.png gains a row after the count; a recount would show 2 | 0.
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {1, 3}) + row(u"b.png"_qs, {5}));
    call(w(), "annotate", entry(7));
    DebugLog log;
    click(u"查看下一张"_qs);

    const QString path = QDir::toNativeSeparators(folder + u"/b.png"_qs);
    QCOMPARE(shownBoxes(), QStringList{u"warning|Error|未加载图像："_qs + path});
    QCOMPARE(log.lines().value(0), debugLine(path));
    QCOMPARE(listTexts(w()), QStringList{entry(5)});
    QCOMPARE(currentAnnotations(w()), QStringList{entry(5)});
    QCOMPARE(text("imageNameLabel"), u"图片名称:b.png(2/2)"_qs);
    QCOMPARE(text("markCountLabel"), u"已标记: 1 | 未标记: 1"_qs);
    QVERIFY(label(w(), "imageLabel")->pixmap().isNull());
    QVERIFY(!button(w(), u"查看上一张"_qs)->isEnabled());
    QVERIFY(!button(w(), u"查看下一张"_qs)->isEnabled());
    QVERIFY(button(w(), entry(1))->isEnabled());

    // The flag is still set from a.png; the save writes what b.png shows.
    QVERIFY(annotationsModified(w()));
    call(w(), "annotate", entry(9));
    click(u"保存并上一张"_qs);
    QCOMPARE(readFile(csvPath),
             headerLine() + row(u"a.png"_qs, {1, 3}) + row(u"b.png"_qs, {5, 9}));
    QCOMPARE(listTexts(w()), (QStringList{entry(1), entry(3)}));
    QCOMPARE(text("markCountLabel"), u"已标记: 2 | 未标记: 0"_qs);
}

void BrowsingTest::countsAgreeWithIsImageMarkedAndFollowTheFile()
{
    QByteArray extraField = row(u"c.png"_qs);
    extraField.insert(extraField.size() - 1, ",1");
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs) + "\n"
                           + row(u"a.png"_qs) + row(u"b.png"_qs, {2}) + extraField
                           + row(u"d.png"_qs) + "e.png, 1,1 ,11,\n" + "\n"
                           + "f.png,0,1\r\n" + "a.png,1");
    const QStringList names{u"a.png"_qs, u"b.png"_qs, u"c.png"_qs,
                            u"d.png"_qs, u"e.png"_qs, u"f.png"_qs};
    loadFolder(*answerer, w(), makeFolder(u"imgs"_qs, names));

    auto answers = [&] {
        QList<bool> marked;
        for (const QString &name : names)
            marked.append(callIsImageMarked(w(), name));
        return marked;
    };
    auto countLine = [](const QList<bool> &marked) {
        return u"已标记: %1 | 未标记: %2"_qs.arg(marked.count(true)).arg(marked.count(false));
    };
    QCOMPARE(answers(), (QList<bool>{true, false, true, false, false, true}));
    QCOMPARE(text("markCountLabel"), countLine(answers()));

    // The next display counts what the file holds by then.
    writeFile(csvPath, headerLine() + row(u"b.png"_qs, {1}) + row(u"d.png"_qs, {2})
                           + row(u"e.png"_qs));
    call(w(), "nextImage");
    QCOMPARE(answers(), (QList<bool>{false, true, false, true, false, false}));
    QCOMPARE(text("markCountLabel"), countLine(answers()));

    QVERIFY(QFile::remove(csvPath));
    call(w(), "nextImage");
    QCOMPARE(text("markCountLabel"), u"已标记: 0 | 未标记: 6"_qs);
}

void BrowsingTest::jumpGoesToTheLastMarkedLine_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<int>("expectedIndex"); // where it stands afterwards
    QTest::addColumn<QString>("expectedBox");

    const QByteArray header = headerLine();
    const QString noMarked = u"information|Info|没有标记的图片"_qs;
    const QString notFound = u"warning|Error|未找到标记的图片"_qs;
    QTest::newRow("last marked line wins")
        << header + row(u"a.png"_qs, {1}) + row(u"b.png"_qs, {2}) + row(u"c.png"_qs) << 1
        << QString();
    QTest::newRow("first line of a headerless file")
        << QByteArray("c.png,0,1\na.png,0,0\n\nb.png\n") << 2 << QString();
    QTest::newRow("header line takes part") << QByteArray("图片名称,1\na.png,0\n") << 0 << notFound;
    QTest::newRow("flag is a whole field")
        << header + row(u"b.png"_qs) + "a.png,0, 1\nb.png,1 ,2\nc.png,11,01,1.0\n" << 0 << noMarked;
    QTest::newRow("empty field after a flag")
        << header + "b.png,0,1,\nc.png,\n\nc.png\n" << 1 << QString();
    QTest::newRow("name and one empty field") << QByteArray("a.png,\n") << 0 << noMarked;
    QTest::newRow("windows line ends")
        << QByteArray("a.png,0\r\nc.png,0,1\r\n") << 2 << QString();
    QTest::newRow("marked name of another folder")
        << header + row(u"b.png"_qs, {1}) + row(u"z.png"_qs, {1}) << 0 << notFound;
    QTest::newRow("name in another letter case")
        << header + row(u"b.png"_qs, {1}) + row(u"C.png"_qs, {1}) << 0 << notFound;
    QTest::newRow("empty file") << QByteArray("") << 0 << noMarked;
    QTest::newRow("missing file") << QByteArray() << 0 << u"warning|Error|无法读取标签文件"_qs;
}

void BrowsingTest::jumpGoesToTheLastMarkedLine()
{
    QFETCH(QByteArray, content);
    QFETCH(int, expectedIndex);
    QFETCH(QString, expectedBox);

    if (!content.isNull())
        writeFile(csvPath, content);
    loadFolder(*answerer, w(), makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs}));
    answerer->clear();

    click(u"跳转到最后标注图片"_qs);
    QCOMPARE(shownBoxes(), expectedBox.isEmpty() ? QStringList() : QStringList{expectedBox});
    QCOMPARE(currentIndex(w()), expectedIndex);
    QCOMPARE(text("imageNameLabel"),
             u"图片名称:%1(%2/3)"_qs.arg(imageFiles(w()).at(expectedIndex)).arg(expectedIndex + 1));
}

void BrowsingTest::failedJumpKeepsTheCurrentImageAndItsUnsavedLabels()
{
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {1}) + row(u"z.png"_qs, {2}));
    click(u"跳转到最后标注图片"_qs);
    QCOMPARE(shownBoxes(), QStringList{u"warning|Error|未找到标记的图片"_qs});
    QCOMPARE(currentIndex(w()), -1);

    loadFolder(*answerer, w(), makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs}));
    click(u"查看下一张"_qs);
    call(w(), "annotate", entry(3));
    answerer->clear();
    click(u"跳转到最后标注图片"_qs);
    QCOMPARE(shownBoxes(), QStringList{u"warning|Error|未找到标记的图片"_qs});
    QCOMPARE(currentIndex(w()), 1);
    QCOMPARE(text("imageNameLabel"), u"图片名称:b.png(2/2)"_qs);
    QCOMPARE(listTexts(w()), QStringList{entry(3)});
    QVERIFY(annotationsModified(w()));

    answerer->clear();
    click(u"保存并下一张"_qs);
    QCOMPARE(shownBoxes(), QStringList{u"information|Warning|已是最后一张图片"_qs});
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs, {3})
                                    + row(u"z.png"_qs, {2}));
}

void BrowsingTest::refusedSaveStaysOnTheImageUntilTheCauseIsMended_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("read-only file")
        << headerLine() + row(u"b.png"_qs, {1}) << true << u"无法打开用于保存注释的文件"_qs;
    QTest::newRow("foreign header") << QByteArray("name,score\nb.png,1\n") << false
                                    << u"标签文件的表头与标签目录不一致，未保存"_qs;
}

void BrowsingTest::refusedSaveStaysOnTheImageUntilTheCauseIsMended()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, readOnly);
    QFETCH(QString, refusal);
    writeFile(csvPath, content);
    if (readOnly)
        QVERIFY(QFile::setPermissions(csvPath, QFile::ReadOwner | QFile::ReadGroup));
    loadFolder(*answerer, w(), makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs}));
    call(w(), "annotate", entry(6));

    for (const QString &move : {u"保存并下一张"_qs, u"保存并上一张"_qs}) {
        answerer->clear();
        click(move);
        QCOMPARE(shownBoxes(), QStringList{u"warning|Error|"_qs + refusal});
        QCOMPARE(readFile(csvPath), content);
        QCOMPARE(currentIndex(w()), 0);
        QCOMPARE(text("imageNameLabel"), u"图片名称:a.png(1/2)"_qs);
        QCOMPARE(listTexts(w()), QStringList{entry(6)});
        QVERIFY(annotationsModified(w()));
    }

    QVERIFY(QFile::setPermissions(csvPath, QFile::ReadOwner | QFile::WriteOwner));
    if (!readOnly)
        writeFile(csvPath, QByteArray());
    answerer->clear();
    click(u"保存并下一张"_qs);
    QVERIFY(answerer->boxes.isEmpty());
    QCOMPARE(currentIndex(w()), 1);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {6})
                                    + (readOnly ? row(u"b.png"_qs, {1}) : QByteArray()));
}

QTEST_MAIN(BrowsingTest)
#include "tst_browsing.moc"
