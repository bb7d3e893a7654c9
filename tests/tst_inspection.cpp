#include "fullpictures.h"
#include "inspectionview.h"
#include "largepicture.h"
#include "testwindow.h"

#include <QBuffer>
#include <QImageReader>
#include <QListView>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QSlider>
#include <QTest>

using namespace TestWindow;

namespace {

const QColor background(0x2b, 0x2b, 0x2b);

// Four quarters, so that where each lies tells how the picture is placed.
QImage quarters(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    const int w = size.width() / 2;
    const int h = size.height() / 2;
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, size.width() - w, h, Qt::green);
    painter.fillRect(0, h, w, size.height() - h, Qt::blue);
    painter.fillRect(w, h, size.width() - w, size.height() - h, Qt::yellow);
    return image;
}

void writeSolid(const QString &path, const QColor &colour, const QSize &size = QSize(120, 90))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QVERIFY2(image.save(path), qPrintable(path));
}

// The image reader's allocation limit, lowered while it lives.
class AllocationLimit
{
public:
    explicit AllocationLimit(int megabytes) { QImageReader::setAllocationLimit(megabytes); }
    ~AllocationLimit() { QImageReader::setAllocationLimit(previous); }

private:
    const int previous = QImageReader::allocationLimit();
};

bool near(QRgb pixel, const QColor &colour, int tolerance = 40)
{
    return qAbs(qRed(pixel) - colour.red()) <= tolerance
        && qAbs(qGreen(pixel) - colour.green()) <= tolerance
        && qAbs(qBlue(pixel) - colour.blue()) <= tolerance;
}

} // namespace

class InspectionTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init()
    {
        openWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup() { closeWindow(); }

    void zOrADoubleClickOpensOneViewOwnedByTheMainWindow();
    void theViewFollowsEveryDisplayAndShowsAFailureAsTheMainWindowDoes();
    void zoomAndPanMapPicturePixelsToCanvasPixels();
    void tonesApplyToEveryPictureUntilResetAndLeaveTheFilesAlone();
    void photosStandUprightAtTheirFullResolution();
    void keysTypedInTheViewLabelSaveAndMoveThroughTheMainWindow();
    void atMostThreePicturesAreHeldAndAChangedFileShowsItsNewContent();
    void aLargePictureComesFromTheBackgroundOnlyWhileItIsCurrent();
    void picturesBeyondTheReadersLimitShowReducedInBothWindows();

private:
    InspectionView *view() const { return window->findChild<InspectionView *>(); }
    InspectionCanvas *canvas() const { return view()->canvas(); }
    QLabel *panelLine(const char *name) const
    {
        return view()->findChild<QLabel *>(QString::fromLatin1(name));
    }
    void pressInMain(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void pressInView(const char *letters, Qt::Key key = Qt::Key_unknown,
                     Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void openView(const QSize &size = QSize(900, 600));
    QImage canvasPixels() const { return canvas()->grab().toImage(); }
    QRgb middlePixel() const
    {
        const QImage pixels = canvasPixels();
        return pixels.pixel(pixels.width() / 2, pixels.height() / 2);
    }
};

// A closed dialog does not give the activation back under the offscreen
// platform, as a window manager would, and keys need the active window.
void InspectionTest::pressInMain(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), key, modifiers);
}

void InspectionTest::pressInView(const char *letters, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    view()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(view()));
    for (; *letters; ++letters)
        QTest::keyClick(canvas(), *letters);
    if (key != Qt::Key_unknown)
        QTest::keyClick(canvas(), key, modifiers);
}

void InspectionTest::openView(const QSize &size)
{
    pressInMain(Qt::Key_Z);
    QVERIFY(view() && view()->isVisible());
    view()->resize(size);
    QVERIFY(QTest::qWaitForWindowExposed(view()));
    QTRY_COMPARE(canvas()->width(), size.width() - 280);
}

void InspectionTest::zOrADoubleClickOpensOneViewOwnedByTheMainWindow()
{
    QLabel *imageArea = window->imageArea();
    QVERIFY(imageArea->toolTip().contains(u"双击"_qs) && imageArea->toolTip().contains(u'Z'));
    QVERIFY(!view());
    const QString folder = makeFolder(u"imgs"_qs, {});
    writeSolid(folder + u"/a.png"_qs, Qt::red);
    writeSolid(folder + u"/b.png"_qs, Qt::green);
    loadFolder(*answerer, window.get(), folder);

    pressInMain(Qt::Key_Z);
    const QPointer<InspectionView> opened = view();
    QVERIFY(opened && opened->isVisible() && opened->isWindow());
    QCOMPARE(opened->windowTitle(), u"检查视图"_qs);
    QCOMPARE(opened->parentWidget(), window.get());
    QVERIFY(!opened->isModal());
    QVERIFY(opened->minimumSize() != opened->maximumSize());
    // 80 % of the screen, unless that is less than the view needs, and never
    // more than the screen; down to half of that where it then stands clear
    // of the main window's picture.
    const QSize screen = window->screen()->availableGeometry().size();
    const QSize wanted = (screen * 0.8).expandedTo(opened->minimumSizeHint()).boundedTo(screen);
    const QRect picture(imageArea->mapToGlobal(QPoint(0, 0)), imageArea->size());
    if (opened->frameGeometry().intersects(picture)) {
        QVERIFY(qAbs(opened->width() - wanted.width()) <= 2);
        QVERIFY(qAbs(opened->height() - wanted.height()) <= 2);
    } else {
        QVERIFY(opened->width() >= wanted.width() / 2 && opened->width() <= wanted.width());
        QVERIFY(opened->height() >= wanted.height() / 2 && opened->height() <= wanted.height());
    }
    QVERIFY(near(middlePixel(), Qt::red, 0));

    pressInMain(Qt::Key_Z);
    pressInView("", Qt::Key_Z);
    QCOMPARE(window->findChildren<InspectionView *>().size(), 1);
    QVERIFY(opened->isVisible());

    // Closed, it misses the displays; opened again, it shows the image current now.
    opened->close();
    QVERIFY(!opened->isVisible());
    call(window.get(), "nextImage");
    QTest::mouseDClick(imageArea, Qt::LeftButton, {}, QPoint(300, 200));
    QCOMPARE(view(), opened.data());
    QVERIFY(opened->isVisible());
    QVERIFY(near(middlePixel(), Qt::green, 0));

    window.reset();
    QVERIFY(!opened);
}

void InspectionTest::theViewFollowsEveryDisplayAndShowsAFailureAsTheMainWindowDoes()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    writeSolid(folder + u"/a.png"_qs, Qt::red);
    writeSolid(folder + u"/b.jpg"_qs, Qt::green);
    writeSolid(folder + u"/c.bmp"_qs, Qt::blue);
    writeFile(folder + u"/d.png"_qs, "no picture");
    writeSolid(folder + u"/e.png"_qs, Qt::yellow, QSize(30, 200));
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {1}) + row(u"c.bmp"_qs, {2}));
    openView();
    QVERIFY(canvas()->picture().isNull());
    loadFolder(*answerer, window.get(), folder);

    const auto shows = [this](const QColor &colour) {
        return near(middlePixel(), colour) && canvas()->text().isEmpty()
            && panelLine("inspectionName")->text() == window->nameLine()->text()
            && panelLine("inspectionCount")->text() == window->countLine()->text();
    };
    QVERIFY(shows(Qt::red));
    QCOMPARE(panelLine("inspectionName")->text(), u"图片名称:a.png(1/5)"_qs);
    QCOMPARE(panelLine("inspectionCount")->text(), u"已标记: 2 | 未标记: 3"_qs);
    call(window.get(), "nextImage");
    QVERIFY(shows(Qt::green));
    call(window.get(), "jumpToLastMarkedImage");
    QVERIFY(shows(Qt::blue));
    call(window.get(), "previousImage");
    QVERIFY(shows(Qt::green));

    // Ctrl+U goes to d.png, which cannot be decoded.
    pressInMain(Qt::Key_U, Qt::ControlModifier);
    const QString broken = QDir::toNativeSeparators(folder + u"/d.png"_qs);
    QCOMPARE(answerer->boxTexts(), QStringList{u"未加载图像："_qs + broken});
    QCOMPARE(canvas()->text(), u"未加载图像："_qs + broken);
    QVERIFY(canvas()->picture().isNull());
    QVERIFY(near(canvasPixels().pixel(5, 5), background, 0));

    call(window.get(), "nextImage");
    QVERIFY(shows(Qt::yellow));
    QVERIFY(near(canvasPixels().pixel(5, 5), background, 0));

    const QString other = makeFolder(u"other"_qs, {});
    writeSolid(other + u"/f.png"_qs, Qt::magenta);
    loadFolder(*answerer, window.get(), other);
    QVERIFY(shows(Qt::magenta));
    QCOMPARE(panelLine("inspectionName")->text(), u"图片名称:f.png(1/1)"_qs);
}

void InspectionTest::zoomAndPanMapPicturePixelsToCanvasPixels()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    const QSize picture(1600, 1200);
    QVERIFY(quarters(picture).save(folder + u"/a.png"_qs));
    QVERIFY(quarters(picture).save(folder + u"/b.png"_qs));
    QVERIFY(quarters(QSize(100, 60)).save(folder + u"/c.png"_qs));
    loadFolder(*answerer, window.get(), folder);
    openView();

    const qreal ratio = canvas()->devicePixelRatioF();
    const QSizeF area = QSizeF(canvas()->size()) * ratio;
    const qreal fit = qMin(area.width() / picture.width(), area.height() / picture.height());
    // Device pixel where the middle of the picture, where its quarters meet,
    // is drawn at `scale` when that middle is in the middle of the canvas.
    const auto centred = [&](qreal scale) {
        return QPointF(qRound((area.width() - picture.width() * scale) / 2),
                       qRound((area.height() - picture.height() * scale) / 2))
            + QPointF(picture.width(), picture.height()) * scale / 2;
    };
    // The quarters around `meet` (device pixels), `gap` pixels away from it.
    const auto quartersMeetAt = [this](const QPointF &meet, int gap) {
        const QImage pixels = canvasPixels();
        const int x = qRound(meet.x());
        const int y = qRound(meet.y());
        return near(pixels.pixel(x - gap, y - gap), Qt::red)
            && near(pixels.pixel(x + gap - 1, y - gap), Qt::green)
            && near(pixels.pixel(x - gap, y + gap - 1), Qt::blue)
            && near(pixels.pixel(x + gap - 1, y + gap - 1), Qt::yellow);
    };

    // Fitted: the whole picture, centred, background above and below.
    QVERIFY(canvas()->property("fitted").toBool());
    QCOMPARE(canvas()->property("scale").toReal(), fit);
    QVERIFY(quartersMeetAt(centred(fit), 3));
    const int top = qRound((area.height() - picture.height() * fit) / 2);
    QVERIFY(top > 3);
    const QImage fitted = canvasPixels();
    QVERIFY(near(fitted.pixel(2, top - 2), background, 0));
    QVERIFY(near(fitted.pixel(2, top + 2), Qt::red));
    QVERIFY(near(fitted.pixel(qRound(area.width()) - 3, top + 2), Qt::green));

    // 100 %: one picture pixel on one device pixel, exact to the pixel.
    pressInView("1");
    QCOMPARE(canvas()->scale(), 1.0);
    QVERIFY(quartersMeetAt(centred(1), 1));
    pressInView("", Qt::Key_Plus, Qt::ShiftModifier);
    QCOMPARE(canvas()->scale(), 1.25);
    QVERIFY(quartersMeetAt(centred(1.25), 2));
    pressInView("", Qt::Key_Minus);
    QCOMPARE(canvas()->scale(), 1.0);

    // The wheel keeps the picture's point under the pointer where it is.
    const QPoint pointer(40, 30);
    const QPointF meet = centred(1);
    QWheelEvent wheel(pointer, canvas()->mapToGlobal(QPointF(pointer)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(canvas(), &wheel);
    QCOMPARE(canvas()->scale(), 1.25);
    const QPointF anchor = QPointF(pointer) * ratio;
    QVERIFY(quartersMeetAt(anchor + (meet - anchor) * 1.25, 3));

    // Dragging moves the picture with the pointer.
    const QPointF before = anchor + (meet - anchor) * 1.25;
    QTest::mousePress(canvas(), Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mouseMove(canvas(), QPoint(130, 80));
    QTest::mouseRelease(canvas(), Qt::LeftButton, {}, QPoint(130, 80));
    QVERIFY(quartersMeetAt(before + QPointF(30, -20) * ratio, 3));

    // Another picture keeps the factor and shows its middle.
    call(window.get(), "nextImage");
    QCOMPARE(canvas()->scale(), 1.25);
    QVERIFY(quartersMeetAt(centred(1.25), 3));

    for (int i = 0; i < 30; ++i)
        pressInView("", Qt::Key_Plus);
    QCOMPARE(canvas()->scale(), 16.0);
    for (int i = 0; i < 40; ++i)
        pressInView("", Qt::Key_Minus);
    QCOMPARE(canvas()->scale(), fit);
    QVERIFY(canvas()->isFitted());
    pressInView("1");
    pressInView("0");
    QVERIFY(canvas()->isFitted());
    QVERIFY(quartersMeetAt(centred(fit), 3));

    // Fitted stays fitted: a small picture fills the canvas too.
    call(window.get(), "nextImage");
    const qreal smallFit = qMin(area.width() / 100, area.height() / 60);
    QCOMPARE(canvas()->scale(), smallFit);
    QVERIFY(smallFit > 4);
    const QImage small = canvasPixels();
    const QPointF corner(qRound((area.width() - 100 * smallFit) / 2),
                         qRound((area.height() - 60 * smallFit) / 2));
    // Square pixels above 200 %: the first picture pixel is one solid block.
    QCOMPARE(small.pixel(corner.toPoint() + QPoint(1, 1)),
             small.pixel((corner + QPointF(smallFit, smallFit)).toPoint() - QPoint(2, 2)));
    QVERIFY(near(small.pixel(corner.toPoint() + QPoint(1, 1)), Qt::red, 0));
}

void InspectionTest::tonesApplyToEveryPictureUntilResetAndLeaveTheFilesAlone()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    const QColor grey(128, 128, 128);
    writeSolid(folder + u"/a.png"_qs, grey);
    writeSolid(folder + u"/b.png"_qs, grey);
    const QByteArray stored = readFile(folder + u"/a.png"_qs);
    loadFolder(*answerer, window.get(), folder);
    openView();
    QCOMPARE(middlePixel(), grey.rgb());

    auto *brightness = view()->findChild<QSlider *>(u"brightnessSlider"_qs);
    auto *contrast = view()->findChild<QSlider *>(u"contrastSlider"_qs);
    auto *gamma = view()->findChild<QSlider *>(u"gammaSlider"_qs);
    QVERIFY(brightness && contrast && gamma);
    const QList<int> neutral{brightness->value(), contrast->value(), gamma->value()};

    brightness->setValue(brightness->maximum());
    const int lighter = qRed(middlePixel());
    QVERIFY2(lighter > 128 + 60, qPrintable(QString::number(lighter)));
    call(window.get(), "nextImage");
    QCOMPARE(qRed(middlePixel()), lighter);

    // Gamma lifts the middle grey on its own; contrast leaves it where it is.
    brightness->setValue(neutral.at(0));
    gamma->setValue(gamma->maximum());
    QVERIFY(qRed(middlePixel()) > 128 + 40);
    gamma->setValue(neutral.at(2));
    contrast->setValue(contrast->maximum());
    QVERIFY(qAbs(qRed(middlePixel()) - 128) <= 2);

    brightness->setValue(brightness->minimum());
    QVERIFY(qRed(middlePixel()) < 128 - 60);
    QPushButton *reset = nullptr;
    for (QPushButton *candidate : view()->findChildren<QPushButton *>()) {
        if (candidate->text() == u"重置"_qs)
            reset = candidate;
    }
    QVERIFY(reset);
    reset->click();
    QCOMPARE((QList<int>{brightness->value(), contrast->value(), gamma->value()}), neutral);
    QCOMPARE(middlePixel(), grey.rgb());
    QCOMPARE(readFile(folder + u"/a.png"_qs), stored);
    QCOMPARE(window->imageArea()->pixmap().toImage().pixel(10, 10), grey.rgb());
}

void InspectionTest::photosStandUprightAtTheirFullResolution()
{
    // Stored lying: red, green on top, blue, yellow below; tagged "turn 90° clockwise".
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    QVERIFY(quarters(QSize(64, 48)).save(&buffer, "JPG", 95));
    jpeg.insert(2, QByteArray::fromHex("ffe10022457869660000"      // APP1, 34 bytes, Exif
                                       "4d4d002a00000008"          // big-endian TIFF, IFD at 8
                                       "0001011200030000000100060000" // Orientation = 6
                                       "00000000"));
    const QString folder = makeFolder(u"imgs"_qs, {});
    writeFile(folder + u"/a.jpg"_qs, jpeg);
    QVERIFY(quarters(QSize(3000, 2000)).save(folder + u"/b.png"_qs));
    loadFolder(*answerer, window.get(), folder);
    openView();

    QCOMPARE(canvas()->picture().size(), QSize(48, 64));
    const QSizeF area = QSizeF(canvas()->size()) * canvas()->devicePixelRatioF();
    const qreal s = canvas()->scale();
    QCOMPARE(s, qMin(area.width() / 48, area.height() / 64));
    const QPointF origin(qRound((area.width() - 48 * s) / 2), qRound((area.height() - 64 * s) / 2));
    const QImage pixels = canvasPixels();
    const auto at = [&](qreal x, qreal y) {
        return pixels.pixel((origin + QPointF(x, y) * s).toPoint());
    };
    QVERIFY(near(at(12, 16), Qt::blue));
    QVERIFY(near(at(36, 16), Qt::red));
    QVERIFY(near(at(12, 48), Qt::yellow));
    QVERIFY(near(at(36, 48), Qt::green));

    // The main window shows it reduced; the view holds every pixel.
    call(window.get(), "nextImage");
    QCOMPARE(canvas()->picture().size(), QSize(3000, 2000));
    QVERIFY(window->imageArea()->pixmap().width() < 3000);
}

void InspectionTest::keysTypedInTheViewLabelSaveAndMoveThroughTheMainWindow()
{
    const QString folder = makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    loadFolder(*answerer, window.get(), folder);
    openView();
    QLabel *state = panelLine("inspectionState");
    QLabel *pending = panelLine("inspectionPending");
    auto *labels = view()->findChild<QListView *>(u"inspectionLabels"_qs);
    const auto shownRows = [labels] { return labels->model()->rowCount(); };
    const auto shownRow = [labels](int row) { return labels->model()->index(row, 0); };
    QCOMPARE(state->text(), u"未标记"_qs);

    pressInView("R");
    QVERIFY(pending->text().contains(u'R'));
    QVERIFY(currentAnnotations(window.get()).isEmpty());
    pressInView("O");
    QVERIFY(pending->text().isEmpty());
    QTRY_COMPARE(currentAnnotations(window.get()), QStringList{entry(11)});
    pressInView("DE");
    QTRY_COMPARE(listTexts(window.get()), (QStringList{entry(11), entry(3)}));
    QCOMPARE(shownRows(), 2);
    QCOMPARE(shownRow(1).data().toString(), entry(3));
    QCOMPARE(state->text(), u"有未保存的更改"_qs);

    pressInView("", Qt::Key_Return);
    QTRY_COMPARE(currentIndex(window.get()), 1);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {3, 11}));
    QCOMPARE(state->text(), u"未标记"_qs);
    QCOMPARE(shownRows(), 0);
    QCOMPARE(panelLine("inspectionName")->text(), u"图片名称:b.png(2/3)"_qs);
    QCOMPARE(panelLine("inspectionCount")->text(), u"已标记: 1 | 未标记: 2"_qs);

    pressInView("", Qt::Key_Left);
    QTRY_COMPARE(currentIndex(window.get()), 0);
    QCOMPARE(state->text(), u"已标记"_qs);
    QCOMPARE(shownRows(), 2);

    // The row selected in the view is the one selected in the main window,
    // which Delete removes.
    QCOMPARE(listTexts(window.get()), (QStringList{entry(3), entry(11)}));
    labels->setCurrentIndex(shownRow(1));
    QCOMPARE(annotationList(window.get())->selectedItems().size(), 1);
    QCOMPARE(annotationList(window.get())->selectedItems().first()->text(), entry(11));
    pressInView("", Qt::Key_Delete);
    QCOMPARE(listTexts(window.get()), QStringList{entry(3)});
    QCOMPARE(shownRows(), 1);
    QCOMPARE(state->text(), u"有未保存的更改"_qs);
    annotationList(window.get())->clearSelection();
    QVERIFY(!labels->selectionModel()->isSelected(shownRow(0)));
    pressInView("RO", Qt::Key_Delete);
    QCOMPARE(listTexts(window.get()), QStringList{entry(3)});

    annotationList(window.get())->setCurrentRow(0);
    QVERIFY(labels->selectionModel()->isSelected(shownRow(0)));
    pressInView("", Qt::Key_Backspace);
    QVERIFY(listTexts(window.get()).isEmpty());
    pressInView("", Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs));
    QCOMPARE(state->text(), u"未标记"_qs);
    QVERIFY(answerer->boxes.isEmpty());

    // A flag beyond the header names no label, yet marks the image, as the
    // count line counts it.
    writeFile(csvPath, headerLine() + row(u"a.png"_qs) + "c.png,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1\n");
    pressInView("", Qt::Key_Right);
    pressInView("", Qt::Key_Right);
    QTRY_COMPARE(currentIndex(window.get()), 2);
    QCOMPARE(panelLine("inspectionCount")->text(), u"已标记: 1 | 未标记: 2"_qs);
    QCOMPARE(shownRows(), 0);
    QCOMPARE(state->text(), u"已标记"_qs);
}

void InspectionTest::atMostThreePicturesAreHeldAndAChangedFileShowsItsNewContent()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    QStringList paths;
    for (int i = 0; i < 6; ++i) {
        paths.append(QDir::toNativeSeparators(folder + u"/p%1.png"_qs.arg(i)));
        writeSolid(paths.last(), QColor::fromHsv(i * 50, 255, 255), QSize(200 + i, 100));
    }
    // The files beside the one at `i`, the one in the direction of travel first.
    const auto beside = [&paths](int i, int step) {
        QStringList neighbours;
        for (const int k : {i + step, i - step}) {
            if (k >= 0 && k < paths.size())
                neighbours.append(paths.at(k));
        }
        return neighbours;
    };
    FullPictures pictures;
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(pictures.picture(paths.at(i), beside(i, 1)).image.size(), QSize(200 + i, 100));
        if (i + 1 < 6)
            QTRY_VERIFY(pictures.hasPrepared(paths.at(i + 1)));
        if (i > 0)
            QTRY_VERIFY(pictures.hasPrepared(paths.at(i - 1)));
        QVERIFY(pictures.heldCount() <= 3);
    }
    // Back from the far end, the way it came: prepared pictures are used.
    QCOMPARE(pictures.picture(paths.at(4), beside(4, -1)).image.size(), QSize(204, 100));
    QTRY_VERIFY(pictures.hasPrepared(paths.at(3)));
    QVERIFY(!pictures.hasPrepared(paths.at(0)) && pictures.heldCount() == 3);

    writeSolid(paths.at(3), Qt::white, QSize(50, 50));
    const QImage replaced = pictures.picture(paths.at(3), beside(3, -1)).image;
    QCOMPARE(replaced.size(), QSize(50, 50));
    QCOMPARE(replaced.pixel(0, 0), QColor(Qt::white).rgb());
    QVERIFY(pictures.heldCount() <= 3);

    writeFile(paths.at(2), "no picture");
    QVERIFY(pictures.picture(paths.at(2), beside(2, -1)).isNull());
    pictures.clear();
    QCOMPARE(pictures.heldCount(), 0);

    // A photo beyond the reader's limit is read as large as the limit lets it.
    const QString large = folder + u"/large.jpg"_qs;
    QVERIFY(quarters(QSize(1000, 600)).save(large));
    const int limit = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(1);
    const FullPicture reduced = FullPictures::decode(large);
    QImageReader::setAllocationLimit(limit);
    QVERIFY(!reduced.isNull());
    QVERIFY(qint64(reduced.image.sizeInBytes()) <= 1024 * 1024);
    QVERIFY(qAbs(reduced.image.width() * 600 - reduced.image.height() * 1000) <= 1000);
    QCOMPARE(FullPictures::decode(large).image.size(), QSize(1000, 600));
    QCOMPARE(FullPictures::decode(large).halves.size(), 1);

    // A half is the rounded mean of four pixels, channel by channel; an odd
    // last column or row is averaged with itself.
    QImage odd(3, 3, QImage::Format_ARGB32_Premultiplied);
    const QRgb values[3][3] = {{qRgba(0, 10, 200, 255), qRgba(2, 20, 255, 255), qRgba(3, 1, 2, 9)},
                               {qRgba(1, 30, 100, 255), qRgba(1, 41, 255, 255), qRgba(5, 3, 4, 7)},
                               {qRgba(255, 0, 0, 255), qRgba(255, 0, 0, 255), qRgba(0, 0, 0, 0)}};
    for (int y = 0; y < 3; ++y)
        std::copy_n(values[y], 3, reinterpret_cast<QRgb *>(odd.scanLine(y)));
    const QImage half = FullPictures::halved(odd);
    QCOMPARE(half.size(), QSize(2, 2));
    const auto stored = [&half](int x, int y) {
        return reinterpret_cast<const QRgb *>(half.constScanLine(y))[x];
    };
    QCOMPARE(stored(0, 0), qRgba(1, 25, 203, 255));
    QCOMPARE(stored(1, 0), qRgba(4, 2, 3, 8));
    QCOMPARE(stored(0, 1), qRgba(255, 0, 0, 255));
    QCOMPARE(stored(1, 1), qRgba(0, 0, 0, 0));
}

void InspectionTest::aLargePictureComesFromTheBackgroundOnlyWhileItIsCurrent()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    writeBlackPng(folder + u"/a.png"_qs, QSize(8192, 6144));
    writeSolid(folder + u"/b.png"_qs, Qt::red);
    // The view reads it at 2.5 megapixels rather than 20, which is cheaper.
    const AllocationLimit limit(16);
    openView();

    loadFolder(*answerer, window.get(), folder);
    QCOMPARE(canvas()->text(), u"正在加载图像…"_qs);
    QVERIFY(canvas()->picture().isNull());
    QCOMPARE(panelLine("inspectionName")->text(), u"图片名称:a.png(1/2)"_qs);

    // A move before the decode ends drops its result.
    call(window.get(), "nextImage");
    QVERIFY(near(middlePixel(), Qt::red));
    waitForBackgroundDecodes();
    QVERIFY(near(middlePixel(), Qt::red));
    QVERIFY(canvas()->text().isEmpty());
    QVERIFY(panelLine("inspectionReduced")->text().isEmpty());

    // 50 megapixels are more than the reader's limit lets it decode whole.
    // Decodes take seconds in a sanitizer build on a busy machine.
    call(window.get(), "previousImage");
    QTRY_VERIFY_WITH_TIMEOUT(!canvas()->picture().isNull(), 60000);
    QVERIFY(canvas()->text().isEmpty());
    QVERIFY(near(middlePixel(), Qt::black, 0));
    QCOMPARE(panelLine("inspectionReduced")->text(), u"图像已缩小显示"_qs);
    QTRY_VERIFY_WITH_TIMEOUT(!window->imageArea()->pixmap().isNull(), 60000);
}

// A 16-bit and a palette PNG, which the reader decodes whole before it
// reduces them, beyond a limit lowered to 1 MB.
void InspectionTest::picturesBeyondTheReadersLimitShowReducedInBothWindows()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    QVERIFY(quarters(QSize(800, 600)).convertToFormat(QImage::Format_RGBA64)
                .save(folder + u"/a.png"_qs));
    QVERIFY(quarters(QSize(1200, 900)).convertToFormat(QImage::Format_Indexed8)
                .save(folder + u"/b.png"_qs));
    writeSolid(folder + u"/c.png"_qs, Qt::cyan, QSize(200, 150));
    const AllocationLimit limit(1);
    openView();
    loadFolder(*answerer, window.get(), folder);

    for (int i = 0; i < 2; ++i) {
        QVERIFY(answerer->boxes.isEmpty());
        const QImage shown = window->imageArea()->pixmap().toImage();
        QCOMPARE(window->imageArea()->pixmap().deviceIndependentSize(), QSizeF(533, 400));
        const QImage picture = canvas()->picture();
        QVERIFY(picture.sizeInBytes() <= 1024 * 1024);
        QVERIFY(qAbs(picture.width() * 3 - picture.height() * 4) <= 4);
        for (const QImage &image : {shown, picture}) {
            const int w = image.width();
            const int h = image.height();
            QVERIFY(near(image.pixel(w / 4, h / 4), Qt::red));
            QVERIFY(near(image.pixel(w * 3 / 4, h / 4), Qt::green));
            QVERIFY(near(image.pixel(w / 4, h * 3 / 4), Qt::blue));
            QVERIFY(near(image.pixel(w * 3 / 4, h * 3 / 4), Qt::yellow));
        }
        QCOMPARE(panelLine("inspectionReduced")->text(), u"图像已缩小显示"_qs);
        call(window.get(), "nextImage");
    }
    QCOMPARE(canvas()->picture().size(), QSize(200, 150));
    QVERIFY(panelLine("inspectionReduced")->text().isEmpty());
}

QTEST_MAIN(InspectionTest)
#include "tst_inspection.moc"
