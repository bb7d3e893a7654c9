// The inspection view as the place to label, and the windows around the
// main window: its label panel, its lines and tones, where the windows open
// and what they remember, the keys in every window and the keys sheet. Run
// on three screens: a wide one, a small one and a square one beside them.
#include "labellingsession.h"
#include "inspectionview.h"
#include "labelpanel.h"
#include "testwindow.h"
#include "windowplace.h"

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QSlider>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QToolTip>
#include <QTranslator>

using namespace TestWindow;

namespace {

QScreen *screenNamed(const QString &name)
{
    for (QScreen *screen : QGuiApplication::screens()) {
        if (screen->name() == name)
            return screen;
    }
    return nullptr;
}

QRect globalRect(const QWidget *widget)
{
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

} // namespace

class WorkbenchTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init() { start(); }
    void cleanup() { closeWindow(); }

    void panelClicksGiveAndRemoveThroughTheMainWindowAndTellSavedFromUnsaved();
    void aWaitingLetterLightsItsCandidatesAndTheHintNamesThem();
    void nameLineKeepsThePositionAndTheTonesShowTheirValues();
    void spotsStayClearOfTheMainWindowThenOfItsPicture_data();
    void spotsStayClearOfTheMainWindowThenOfItsPicture();
    void windowsFirstOpenBesideTheMainWindowOnItsScreen();
    void placesTonesAndColumnsComeBackInTheNextRun();
    void aRememberedPlaceIsFittedToItsScreenFrameIncluded();
    void codesWorkInTheDatasetWindowButNotWhileANameIsTyped();
    void shiftReturnSavesThenGoesToTheNextUnmarkedImageInEveryWindow();
    void dialogsOpenWhereThePersonWasLast();
    void noDefectWithADefectIsFlaggedAndFoundButNotRefused();
    void f1OpensTheKeysSheetFromEveryWindowAndF1OrEscCloseIt();
    void saveAndNextNamesEachKeyOnce();
    void onASmallScreenTheDatasetShowsEveryColumnAndTheSheetEveryKey();

private:
    // The main window on the screen named `screen`, at its top left.
    void start(const QString &screen = u"wide"_qs);
    // Closes the main window as a person does and starts the program again
    // on the same annotation file and settings.
    void restart(const QString &screen = u"wide"_qs);
    void press(QWidget *receiver, const char *letters, Qt::Key key = Qt::Key_unknown,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void openFolder(const QStringList &images, const QByteArray &csv = QByteArray());
    InspectionView *openView();
    QWidget *openDataset();
    void clickRow(int row);

    InspectionView *view() const { return window->findChild<InspectionView *>(); }
    LabelPanel *panel() const { return view()->findChild<LabelPanel *>(u"labelPanel"_qs); }
    QLabel *viewLine(const char *name) const
    {
        return view()->findChild<QLabel *>(QString::fromLatin1(name));
    }
    QWidget *dataset() const { return window->findChild<QWidget *>(u"datasetWindow"_qs); }
    QWidget *sheet() const { return window->findChild<QWidget *>(u"keysSheet"_qs); }
    QString settingsFolder() const { return dir->filePath(u"settings"_qs); }
};

void WorkbenchTest::start(const QString &screen)
{
    openWindow();
    window->move(screenNamed(screen)->availableGeometry().topLeft());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void WorkbenchTest::restart(const QString &screen)
{
    window->close();
    window.reset();
    window = create(*answerer, csvPath);
    window->move(screenNamed(screen)->availableGeometry().topLeft());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

// Keys need the active window; a closed dialog does not give the activation
// back under the offscreen platform, as a window manager would. A window of
// the main window's counts as active with it, so the wait is for the
// application's own active window.
void WorkbenchTest::press(QWidget *receiver, const char *letters, Qt::Key key,
                          Qt::KeyboardModifiers modifiers)
{
    receiver->window()->activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), receiver->window());
    for (; *letters; ++letters)
        QTest::keyClick(receiver, *letters);
    if (key != Qt::Key_unknown)
        QTest::keyClick(receiver, key, modifiers);
}

void WorkbenchTest::openFolder(const QStringList &images, const QByteArray &csv)
{
    if (!csv.isNull())
        writeFile(csvPath, csv);
    loadFolder(*answerer, window.get(), makeFolder(u"imgs"_qs, images));
    QCOMPARE(imageFiles(window.get()), images);
}

InspectionView *WorkbenchTest::openView()
{
    press(window.get(), "Z");
    InspectionView *opened = view();
    return opened && QTest::qWaitForWindowExposed(opened) ? opened : nullptr;
}

QWidget *WorkbenchTest::openDataset()
{
    press(window.get(), "", Qt::Key_D, Qt::ControlModifier);
    QWidget *opened = dataset();
    return opened && QTest::qWaitForWindowExposed(opened) ? opened : nullptr;
}

void WorkbenchTest::clickRow(int row)
{
    const QRect rect = panel()->visualItemRect(panel()->topLevelItem(row));
    QTest::mouseClick(panel()->viewport(), Qt::LeftButton, {}, rect.center());
}

void WorkbenchTest::panelClicksGiveAndRemoveThroughTheMainWindowAndTellSavedFromUnsaved()
{
    using State = LabelPanel::State;
    QVERIFY(openView());
    // No image: the label buttons are disabled, and so are the clicks.
    clickRow(10);
    QVERIFY(currentAnnotations(window.get()).isEmpty());
    QVERIFY(answerer->boxes.isEmpty());
    // Nor while the only image shown could not be decoded.
    const QString broken = makeFolder(u"broken"_qs, {});
    writeFile(broken + u"/x.png"_qs, "no picture");
    loadFolder(*answerer, window.get(), broken);
    clickRow(10);
    QVERIFY(currentAnnotations(window.get()).isEmpty());
    answerer->boxes.clear();

    openFolder({u"a.png"_qs, u"b.png"_qs}, headerLine() + row(u"a.png"_qs, {11}));
    QCOMPARE(panel()->topLevelItemCount(), 19);
    const auto shown = [this](int row) {
        const QTreeWidgetItem *item = panel()->topLevelItem(row);
        return item->text(LabelPanel::Code) + u"  "_qs + item->text(LabelPanel::Name);
    };
    QCOMPARE(shown(0), u"RB  裂缝、断裂和坍塌"_qs);
    QCOMPARE(shown(10), u"RO  树根"_qs);
    QCOMPARE(shown(12), u"AF  沉积"_qs);
    QCOMPARE(shown(17), u"VA  水位"_qs);
    for (int row = 0; row < 19; ++row)
        QCOMPARE(panel()->state(row), row == 10 ? State::Saved : State::Absent);

    clickRow(2);
    QCOMPARE(currentAnnotations(window.get()), (QStringList{entry(11), entry(3)}));
    QVERIFY(annotationsModified(window.get()));
    QCOMPARE(panel()->state(2), State::Added);
    QCOMPARE(viewLine("inspectionState")->text(), u"有未保存的更改"_qs);

    // Removing is the list's double-click: the same log line.
    DebugLog log;
    clickRow(10);
    QCOMPARE(log.lines(), QStringList{u"Annotation removed: \"%1\""_qs.arg(entry(11))});
    QCOMPARE(currentAnnotations(window.get()), QStringList{entry(3)});
    QCOMPARE(panel()->state(10), State::Removed);
    QVERIFY(panel()->topLevelItem(10)->font(LabelPanel::Name).strikeOut());

    press(view()->canvas(), "", Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {3}));
    QCOMPARE(panel()->state(2), State::Saved);
    QCOMPARE(panel()->state(10), State::Absent);

    // Given once only, as the button gives it.
    clickRow(4);
    clickRow(4);
    QCOMPARE(currentAnnotations(window.get()), (QStringList{entry(3)}));
    QCOMPARE(panel()->state(4), State::Absent);
    press(view()->canvas(), "", Qt::Key_Right);
    QTRY_COMPARE(currentIndex(window.get()), 1);
    for (int row = 0; row < 19; ++row)
        QCOMPARE(panel()->state(row), State::Absent);
}

void WorkbenchTest::aWaitingLetterLightsItsCandidatesAndTheHintNamesThem()
{
    using Emphasis = LabelPanel::Emphasis;
    openFolder({u"a.png"_qs});
    QVERIFY(openView());
    press(view()->canvas(), "R");
    for (int row = 0; row < 19; ++row)
        QCOMPARE(panel()->emphasis(row),
                 row == 0 || row == 10 ? Emphasis::Candidate : Emphasis::Dimmed);
    QCOMPARE(viewLine("inspectionPending")->text(), u"R… RB RO"_qs);
    // The main window's hint beside its label buttons names them too.
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), u"R… RB RO"_qs);

    press(view()->canvas(), "O");
    QTRY_COMPARE(currentAnnotations(window.get()), QStringList{entry(11)});
    for (int row = 0; row < 19; ++row)
        QCOMPARE(panel()->emphasis(row), Emphasis::Plain);
    QVERIFY(viewLine("inspectionPending")->text().isEmpty());

    press(window.get(), "P");
    QTRY_COMPARE(QToolTip::text(), u"P… PH PF PB"_qs);
    QCOMPARE(panel()->emphasis(5), Emphasis::Candidate);
    QCOMPARE(panel()->emphasis(10), Emphasis::Dimmed);
    press(window.get(), "", Qt::Key_Escape);
    QCOMPARE(panel()->emphasis(10), Emphasis::Plain);

    // A view in front of the label buttons shows the hint itself: nothing
    // floats over its picture. The main window, in front again, shows it.
    QTRY_VERIFY(!QToolTip::isVisible());
    view()->setGeometry(window->geometry().adjusted(0, 0, 200, 200));
    press(view()->canvas(), "R");
    QCOMPARE(viewLine("inspectionPending")->text(), u"R… RB RO"_qs);
    QTest::qWait(50);
    QVERIFY(!QToolTip::isVisible());
    press(window.get(), "");
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), u"R… RB RO"_qs);
}

void WorkbenchTest::nameLineKeepsThePositionAndTheTonesShowTheirValues()
{
    const QString longName =
        u"管道检测_二零二六年十二月_第三标段_北侧主干管_检查井之间_摄像头编号十七_第三次复查.png"_qs;
    openFolder({u"a.png"_qs, longName});
    QVERIFY(openView());
    view()->resize(1000, 800);
    QLabel *name = viewLine("inspectionName");
    QTRY_COMPARE(name->text(), window->nameLine()->text());

    press(view()->canvas(), "", Qt::Key_Right);
    QTRY_COMPARE(currentIndex(window.get()), 1);
    QVERIFY2(name->text().startsWith(u"图片名称:管道检测"_qs), qPrintable(name->text()));
    QVERIFY2(name->text().endsWith(u".png(2/2)"_qs), qPrintable(name->text()));
    QVERIFY(name->text().contains(u'…'));
    QVERIFY(name->fontMetrics().horizontalAdvance(name->text()) <= name->width());
    QCOMPARE(name->toolTip(), u"图片名称:%1(2/2)"_qs.arg(longName));

    auto *brightness = view()->findChild<QSlider *>(u"brightnessSlider"_qs);
    auto *gamma = view()->findChild<QSlider *>(u"gammaSlider"_qs);
    QLabel *brightnessValue = viewLine("brightnessValue");
    QLabel *gammaValue = viewLine("gammaValue");
    QCOMPARE(brightnessValue->text(), u"0"_qs);
    brightness->setFocus();
    press(brightness, "", Qt::Key_PageUp);
    press(brightness, "", Qt::Key_Up);
    QCOMPARE(brightnessValue->text(), u"11"_qs);
    gamma->setFocus();
    press(gamma, "", Qt::Key_PageDown);
    QCOMPARE(gammaValue->text(), u"-10"_qs);

    press(view()->canvas(), "", Qt::Key_R, Qt::ControlModifier);
    QCOMPARE(brightness->value(), 0);
    QCOMPARE(gamma->value(), 0);
    QCOMPARE(brightnessValue->text(), u"0"_qs);
    QCOMPARE(gammaValue->text(), u"0"_qs);
}

void WorkbenchTest::spotsStayClearOfTheMainWindowThenOfItsPicture_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QList<QRect>>("others");
    QTest::addColumn<QSize>("wanted");
    QTest::addColumn<QSize>("least");
    QTest::addColumn<QSize>("smallest");
    QTest::addColumn<QRect>("spot");
    const QRect wide(0, 0, 1920, 1080);
    const QRect small(0, 0, 1366, 768);
    QTest::newRow("view beside the main window")
        << wide << QList<QRect>() << QSize(1536, 864) << QSize(768, 432) << QSize(480, 150)
        << QRect(1090, 0, 830, 864);
    QTest::newRow("dataset beside the view, below the picture")
        << wide << QList<QRect>{QRect(1090, 0, 830, 864)} << QSize(1040, 640) << QSize(560, 520)
        << QSize(560, 520) << QRect(0, 510, 1040, 570);
    QTest::newRow("small screen: over the buttons, beside the picture")
        << small << QList<QRect>() << QSize(1093, 614) << QSize(560, 320) << QSize(480, 150)
        << QRect(770, 0, 596, 614);
    QTest::newRow("small screen: over the other window before the picture")
        << small << QList<QRect>{QRect(770, 0, 596, 614)} << QSize(1040, 640) << QSize(560, 520)
        << QSize(560, 520) << QRect(770, 0, 596, 640);
    QTest::newRow("small screen: down to its least size before the picture")
        << small << QList<QRect>{QRect(770, 0, 596, 614)} << QSize(1040, 640) << QSize(620, 520)
        << QSize(590, 500) << QRect(770, 0, 596, 640);
    QTest::newRow("no room: the corner that covers least of the picture")
        << QRect(0, 0, 800, 600) << QList<QRect>() << QSize(640, 480) << QSize(600, 400)
        << QSize(600, 400) << QRect(0, 0, 640, 480);
}

void WorkbenchTest::spotsStayClearOfTheMainWindowThenOfItsPicture()
{
    QFETCH(QRect, available);
    QFETCH(QList<QRect>, others);
    QFETCH(QSize, wanted);
    QFETCH(QSize, least);
    QFETCH(QSize, smallest);
    QFETCH(QRect, spot);
    const QRect mainFrame(0, 0, 1090, 650);
    const QRect picture(170, 110, 600, 400);
    QCOMPARE(WindowPlace::spotBeside(available, mainFrame, picture, others, wanted, least, smallest),
             spot);
}

void WorkbenchTest::windowsFirstOpenBesideTheMainWindowOnItsScreen()
{
    openFolder({u"a.png"_qs});
    const QRect wide = screenNamed(u"wide"_qs)->availableGeometry();
    QVERIFY(openView());
    QVERIFY(!view()->frameGeometry().intersects(window->frameGeometry()));
    QVERIFY(wide.contains(view()->frameGeometry()));
    QVERIFY(openDataset());
    QVERIFY(wide.contains(dataset()->frameGeometry()));
    QVERIFY(!dataset()->frameGeometry().intersects(globalRect(window->imageArea())));
    QVERIFY(!dataset()->frameGeometry().intersects(view()->frameGeometry()));

    // On the small screen there is no room beside the main window: the view
    // covers its buttons, not its picture.
    closeWindow();
    start(u"small"_qs);
    openFolder({u"a.png"_qs});
    QVERIFY(openView());
    QCOMPARE(view()->screen()->name(), u"small"_qs);
    QVERIFY(screenNamed(u"small"_qs)->availableGeometry().contains(view()->frameGeometry()));
    QVERIFY(!view()->frameGeometry().intersects(globalRect(window->imageArea())));
}

void WorkbenchTest::placesTonesAndColumnsComeBackInTheNextRun()
{
    openFolder({u"a.png"_qs});
    QVERIFY(openView());
    const QRect viewPlace(200, 150, 1000, 700);
    view()->setGeometry(viewPlace);
    auto *contrast = view()->findChild<QSlider *>(u"contrastSlider"_qs);
    contrast->setFocus();
    press(contrast, "", Qt::Key_PageUp);
    press(contrast, "", Qt::Key_PageUp);
    QVERIFY(openDataset());
    const QRect datasetPlace(40, 500, 900, 560);
    dataset()->setGeometry(datasetPlace);
    auto *table = dataset()->findChild<QTableView *>(u"imageTable"_qs);
    table->horizontalHeader()->resizeSection(1, 333);

    restart();
    openFolder({u"a.png"_qs});
    QVERIFY(openView());
    QCOMPARE(view()->geometry(), viewPlace);
    QCOMPARE(view()->findChild<QSlider *>(u"contrastSlider"_qs)->value(), 20);
    QCOMPARE(viewLine("contrastValue")->text(), u"20"_qs);
    QVERIFY(openDataset());
    QCOMPARE(dataset()->geometry(), datasetPlace);
    table = dataset()->findChild<QTableView *>(u"imageTable"_qs);
    QCOMPARE(table->horizontalHeader()->sectionSize(1), 333);

    // A window remembered on a screen that is gone opens on the main
    // window's screen, at its size from last time.
    restart(u"small"_qs);
    {
        QSettings remembered(settingsFolder() + u"/org.norvanta.Norvanta.conf"_qs,
                             QSettings::IniFormat);
        QVERIFY(remembered.contains(u"windows/inspectionView/geometry"_qs));
        remembered.setValue(u"windows/inspectionView/screen"_qs, u"gone"_qs);
        remembered.setValue(u"windows/inspectionView/geometry"_qs, QRect(4000, 300, 560, 500));
    }
    openFolder({u"a.png"_qs});
    QVERIFY(openView());
    QCOMPARE(view()->screen()->name(), u"small"_qs);
    QCOMPARE(view()->size(), QSize(560, 500));
    QVERIFY(screenNamed(u"small"_qs)->availableGeometry().contains(view()->frameGeometry()));
}

void WorkbenchTest::aRememberedPlaceIsFittedToItsScreenFrameIncluded()
{
    closeWindow();
    start(u"square"_qs);
    const QRect square = screenNamed(u"square"_qs)->availableGeometry();
    {
        QSettings remembered(settingsFolder() + u"/org.norvanta.Norvanta.conf"_qs,
                             QSettings::IniFormat);
        remembered.setValue(u"windows/inspectionView/screen"_qs, u"square"_qs);
        remembered.setValue(u"windows/inspectionView/geometry"_qs,
                            QRect(square.topLeft() + QPoint(0, 30), QSize(800, 760)));
    }
    openFolder({u"a.png"_qs});
    QVERIFY(openView());
    QCOMPARE(view()->screen()->name(), u"square"_qs);
    QVERIFY2(square.contains(view()->frameGeometry()),
             qPrintable(QDebug::toString(view()->frameGeometry())));
    // Only as much smaller as its frame needs.
    QCOMPARE(view()->frameGeometry().size(), QSize(800, 764));
}

void WorkbenchTest::codesWorkInTheDatasetWindowButNotWhileANameIsTyped()
{
    openFolder({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    QVERIFY(openDataset());
    auto *table = dataset()->findChild<QTableView *>(u"imageTable"_qs);
    table->setFocus();
    // The table keeps its own keys: Return opens the row, arrows move in it.
    table->setCurrentIndex(table->model()->index(2, 1));
    press(table, "", Qt::Key_Return);
    QCOMPARE(currentIndex(window.get()), 2);
    press(table, "", Qt::Key_Left);
    QCOMPARE(currentIndex(window.get()), 2);
    QCOMPARE(table->currentIndex().column(), 0);

    press(table, "RO");
    QTRY_COMPARE(currentAnnotations(window.get()), QStringList{entry(11)});
    QVERIFY(!QFile::exists(csvPath));

    auto *name = dataset()->findChild<QLineEdit *>(u"nameFilter"_qs);
    name->setFocus();
    press(name, "ro");
    QCOMPARE(name->text(), u"ro"_qs);
    QCOMPARE(currentAnnotations(window.get()), QStringList{entry(11)});
    press(name, "", Qt::Key_Backspace);
    QCOMPARE(name->text(), u"r"_qs);
    QCOMPARE(currentAnnotations(window.get()), QStringList{entry(11)});
    // Keys the field has no use for still reach the main window.
    press(name, "", Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"c.png"_qs, {11}));
}

void WorkbenchTest::shiftReturnSavesThenGoesToTheNextUnmarkedImageInEveryWindow()
{
    const QByteArray marked = headerLine() + row(u"b.png"_qs, {1}) + row(u"c.png"_qs, {2});
    openFolder({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs, u"e.png"_qs}, marked);
    press(window.get(), "DE", Qt::Key_Return, Qt::ShiftModifier);
    QTRY_COMPARE(currentIndex(window.get()), 3);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {3}) + row(u"b.png"_qs, {1})
                                    + row(u"c.png"_qs, {2}));
    QVERIFY(answerer->boxes.isEmpty());

    QVERIFY(openView());
    press(view()->canvas(), "OB", Qt::Key_Enter, Qt::ShiftModifier | Qt::KeypadModifier);
    QTRY_COMPARE(currentIndex(window.get()), 4);
    QVERIFY(readFile(csvPath).contains(row(u"d.png"_qs, {4})));

    // None unmarked after it: saved, then it stays and says so.
    QVERIFY(openDataset());
    auto *table = dataset()->findChild<QTableView *>(u"imageTable"_qs);
    table->setFocus();
    press(table, "VA", Qt::Key_Return, Qt::ShiftModifier);
    QVERIFY(readFile(csvPath).contains(row(u"e.png"_qs, {18})));
    QCOMPARE(currentIndex(window.get()), 4);
    QVERIFY(answerer->boxes.isEmpty());
    // Typed in the view, the note is the view's, beside its label panel,
    // for two seconds.
    press(view()->canvas(), "", Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(viewLine("inspectionPending")->text(), u"后面没有未标记的图片"_qs);
    QTest::qWait(1500);
    QCOMPARE(viewLine("inspectionPending")->text(), u"后面没有未标记的图片"_qs);
    QTRY_VERIFY_WITH_TIMEOUT(viewLine("inspectionPending")->text().isEmpty(), 2000);
    QVERIFY(answerer->boxes.isEmpty());

    // A refused save stays on the image with its labels unsaved.
    answerer->clear();
    const QByteArray foreign = "name,x,y\n";
    writeFile(csvPath, foreign);
    window->labelling()->moveTo(0);
    press(window.get(), "FO", Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(answerer->boxTexts(), QStringList{u"标签文件的表头与标签目录不一致，未保存"_qs});
    QCOMPARE(currentIndex(window.get()), 0);
    QVERIFY(annotationsModified(window.get()));
    QCOMPARE(readFile(csvPath), foreign);
}

void WorkbenchTest::dialogsOpenWhereThePersonWasLast()
{
    const QString images = makeFolder(u"photos"_qs, {u"a.png"_qs});
    // Nothing remembered: the start-up dialog opens in the home folder.
    QCOMPARE(answerer->fileDialogs.size(), 1);
    QCOMPARE(answerer->fileDialogs.last().directory, QDir::homePath());
    loadFolder(*answerer, window.get(), images);
    loadFolder(*answerer, window.get(), images);
    QCOMPARE(answerer->fileDialogs.last().directory, images);

    // The next run asks for its annotation file in the folder of this one.
    QDir(dir->path()).mkpath(u"elsewhere"_qs);
    csvPath = dir->filePath(u"elsewhere/labels.csv"_qs);
    restart();
    QCOMPARE(answerer->fileDialogs.last().directory, dir->path());
    restart();
    QCOMPARE(answerer->fileDialogs.last().directory, dir->filePath(u"elsewhere"_qs));
    answerer->answerFileDialog(images);
    press(window.get(), "", Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(answerer->fileDialogs.last().directory, images);
}

void WorkbenchTest::noDefectWithADefectIsFlaggedAndFoundButNotRefused()
{
    const QByteArray content = headerLine() + row(u"a.png"_qs, {7}) + row(u"b.png"_qs, {7, 11})
        + row(u"c.png"_qs, {11}) + row(u"d.png"_qs, {2, 7});
    openFolder({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs}, content);
    QVERIFY(openView());
    QLabel *flag = viewLine("inspectionContradiction");
    QVERIFY(!flag->isVisible());
    press(view()->canvas(), "RO");
    QTRY_VERIFY(flag->isVisible());
    QCOMPARE(flag->text(), u"无缺陷与缺陷标签并存"_qs);
    QCOMPARE(viewLine("inspectionState")->text(), u"有未保存的更改"_qs);
    press(view()->canvas(), "", Qt::Key_S, Qt::ControlModifier);
    QVERIFY(answerer->boxes.isEmpty());
    QVERIFY(readFile(csvPath).contains(row(u"a.png"_qs, {7, 11})));
    QVERIFY(flag->isVisible());
    press(view()->canvas(), "", Qt::Key_Right);
    press(view()->canvas(), "", Qt::Key_Right);
    QTRY_COMPARE(currentIndex(window.get()), 2);
    QVERIFY(!flag->isVisible());

    QVERIFY(openDataset());
    auto *filter = dataset()->findChild<QComboBox *>(u"labelFilter"_qs);
    const int choice = filter->findText(u"无缺陷与缺陷并存"_qs);
    QVERIFY(choice > 0);
    filter->setCurrentIndex(choice);
    auto *table = dataset()->findChild<QTableView *>(u"imageTable"_qs);
    QStringList kept;
    for (int r = 0; r < table->model()->rowCount(); ++r)
        kept.append(table->model()->index(r, 1).data().toString());
    QCOMPARE(kept, (QStringList{u"a.png"_qs, u"b.png"_qs, u"d.png"_qs}));
    press(window.get(), "", Qt::Key_Right, Qt::AltModifier);
    QCOMPARE(currentIndex(window.get()), 3);
}

void WorkbenchTest::f1OpensTheKeysSheetFromEveryWindowAndF1OrEscCloseIt()
{
    openFolder({u"a.png"_qs});
    press(window.get(), "", Qt::Key_F1);
    QVERIFY(sheet() && sheet()->isVisible());
    QCOMPARE(sheet()->parentWidget(), window.get());
    const QString text = sheet()->findChild<QTextBrowser *>()->toPlainText();
    for (const QString &label : catalogue())
        QVERIFY2(text.contains(label.right(2) + u'\t' + label)
                     || text.contains(label.right(2) + u'\n' + label),
                 qPrintable(label));
    for (const char *key : {"Shift+Return", "Ctrl+R", "Ctrl+U", "Alt+→", "F1"})
        QVERIFY2(text.contains(QString::fromUtf8(key)), key);
    press(sheet(), "", Qt::Key_F1);
    QVERIFY(!sheet()->isVisible());

    QVERIFY(openView());
    press(view()->canvas(), "", Qt::Key_F1);
    QTRY_VERIFY(sheet()->isVisible());
    press(sheet(), "", Qt::Key_Escape);
    QVERIFY(!sheet()->isVisible());

    QVERIFY(openDataset());
    press(dataset()->findChild<QTableView *>(u"imageTable"_qs), "", Qt::Key_F1);
    QTRY_VERIFY(sheet()->isVisible());
    window->close();
    QVERIFY(!sheet()->isVisible());
}

void WorkbenchTest::saveAndNextNamesEachKeyOnce()
{
    QPushButton *saveAndNext = button(window.get(), u"保存并下一张"_qs);
    QCOMPARE(saveAndNext->toolTip(), u"快捷键：Return / Ctrl+→"_qs);
    QCOMPARE(button(window.get(), u"查看上一张"_qs)->toolTip(), u"快捷键：←"_qs);

    // In the language the program speaks.
    QTranslator toolkitTexts;
    if (!toolkitTexts.load(u"qt_zh_CN"_qs, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QSKIP("Qt's Chinese translations are not installed");
    QCoreApplication::installTranslator(&toolkitTexts);
    restart();
    QCOMPARE(button(window.get(), u"保存并下一张"_qs)->toolTip(), u"快捷键：回车 / Ctrl+→"_qs);
    QCoreApplication::removeTranslator(&toolkitTexts);
}

// At 1366 × 768, with the view open beside the main window: every column
// of both tables in sight, and the whole keys sheet without scrolling.
void WorkbenchTest::onASmallScreenTheDatasetShowsEveryColumnAndTheSheetEveryKey()
{
    closeWindow();
    start(u"small"_qs);
    const QString longName =
        u"管道检测_二零二六年十二月_第三标段_北侧主干管_检查井之间_摄像头编号十七_第三次复查.png"_qs;
    openFolder({u"a.png"_qs, longName}, headerLine() + row(longName, {1, 2, 3, 4, 5, 6}));
    QVERIFY(openView());
    QVERIFY(openDataset());
    const QRect small = screenNamed(u"small"_qs)->availableGeometry();
    QVERIFY(small.contains(dataset()->frameGeometry()));
    // Opened as it opens, and as narrow as it goes.
    for (const int width : {dataset()->width(), 0}) {
        dataset()->resize(width, dataset()->height());
        QTRY_COMPARE(dataset()->width(), qMax(width, dataset()->minimumSizeHint().width()));
        for (const char *name : {"imageTable", "labelStatistics"}) {
            auto *table = dataset()->findChild<QTableView *>(QString::fromLatin1(name));
            const QHeaderView *columns = table->horizontalHeader();
            for (int column = 0; column < columns->count(); ++column)
                QVERIFY2(columns->sectionPosition(column) + columns->sectionSize(column)
                             <= table->viewport()->width(),
                         name);
        }
    }

    press(window.get(), "", Qt::Key_F1);
    QVERIFY(sheet() && sheet()->isVisible());
    auto *text = sheet()->findChild<QTextBrowser *>();
    QVERIFY(small.contains(sheet()->geometry()));
    QCOMPARE(text->verticalScrollBar()->maximum(), 0);
    QCOMPARE(text->horizontalScrollBar()->maximum(), 0);
    for (const char *key : {"Ctrl+Z", "Ctrl+Shift+Z", "Ctrl+Y", "Esc", "PB"})
        QVERIFY2(text->toPlainText().contains(QString::fromUtf8(key)), key);
}

// Three screens side by side, the wide one first, as the offscreen platform
// reads them from a file.
int main(int argc, char *argv[])
{
    QTemporaryDir screens;
    const QString layout = screens.filePath(u"screens.json"_qs);
    writeFile(layout, R"({"screens": [
        {"name": "wide", "x": 0, "y": 0, "width": 1920, "height": 1080, "logicalDpi": 96, "dpr": 1},
        {"name": "small", "x": 1920, "y": 0, "width": 1366, "height": 768, "logicalDpi": 96, "dpr": 1},
        {"name": "square", "x": 3286, "y": 0, "width": 800, "height": 800, "logicalDpi": 96, "dpr": 1}
    ]})");
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(layout));
    QApplication app(argc, argv);
    WorkbenchTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_workbench.moc"
