#include "picturecache.h"

#include <QBuffer>
#include <QLayout>
#include <QList>
#include <QMainWindow>
#include <QPainter>
#include <QString>
#include <QStringList>
#include <QTest>

#include "testwindow.h"

using namespace TestWindow;

namespace {

// A picture whose content tells it apart from others of the same colour.
QImage picture(const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    QLinearGradient gradient(0, 0, size.width(), size.height());
    gradient.setColorAt(0, colour);
    gradient.setColorAt(1, colour.darker(300));
    QPainter(&image).fillRect(image.rect(), gradient);
    return image;
}

// The ratio the test was started for (QT_SCALE_FACTOR), 1 when none was given.
qreal expectedRatio()
{
    return qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")
               ? 1.0
               : qEnvironmentVariable("QT_SCALE_FACTOR").toDouble();
}

bool looksLike(QRgb pixel, const QColor &colour)
{
    return qAbs(qRed(pixel) - colour.red()) < 60 && qAbs(qGreen(pixel) - colour.green()) < 60
        && qAbs(qBlue(pixel) - colour.blue()) < 60;
}

} // namespace

class PicturesTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void photosAreShownTheWayTheCameraHeldThem();
    void picturesUseEveryDevicePixelOfAScaledScreen();
    void aLongNameNeitherWidensTheWindowNorIsCutFromItsTooltip();
    void preparedNeighboursShowWhatADirectDecodeShows();
    void aFileReplacedAfterItsDecodeShowsItsNewContent();
    void anUndecodableNeighbourWarnsOnlyWhenMovedTo();
    void anotherFolderNeverShowsPicturesOfTheOldOne();

private:
    Tavrelin *w() const { return window.get(); }
    QPixmap shown() const { return label(window.get(), "imageLabel")->pixmap(); }
    bool prepared(const QString &path) const { return window->pictureCache().hasPrepared(path); }
    QImage direct(const QString &path) const
    {
        return QPixmap::fromImage(PictureCache::decode(path, QSize(600, 400), expectedRatio()))
            .toImage();
    }
};

void PicturesTest::photosAreShownTheWayTheCameraHeldThem()
{
    // Stored lying: red, green on top, blue, yellow below; tagged "turn 90° clockwise".
    QImage stored(64, 48, QImage::Format_RGB32);
    QPainter painter(&stored);
    painter.fillRect(0, 0, 32, 24, Qt::red);
    painter.fillRect(32, 0, 32, 24, Qt::green);
    painter.fillRect(0, 24, 32, 24, Qt::blue);
    painter.fillRect(32, 24, 32, 24, Qt::yellow);
    painter.end();
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    QVERIFY(stored.save(&buffer, "JPG", 95));
    jpeg.insert(2, QByteArray::fromHex("ffe10022457869660000"      // APP1, 34 bytes, Exif
                                       "4d4d002a00000008"          // big-endian TIFF, IFD at 8
                                       "0001011200030000000100060000" // Orientation = 6
                                       "00000000"));
    const QString folder = makeFolder(u"imgs"_qs, {});
    writeFile(folder + u"/photo.jpg"_qs, jpeg);
    loadFolder(*answerer, w(), folder);

    QCOMPARE(shown().deviceIndependentSize(), QSizeF(300, 400));
    const QImage upright = shown().toImage();
    const int right = upright.width() * 3 / 4;
    const int bottom = upright.height() * 3 / 4;
    QVERIFY(looksLike(upright.pixel(right / 3, bottom / 3), Qt::blue));
    QVERIFY(looksLike(upright.pixel(right, bottom / 3), Qt::red));
    QVERIFY(looksLike(upright.pixel(right / 3, bottom), Qt::yellow));
    QVERIFY(looksLike(upright.pixel(right, bottom), Qt::green));
}

void PicturesTest::picturesUseEveryDevicePixelOfAScaledScreen()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    QVERIFY(picture(QSize(800, 600), Qt::cyan).save(folder + u"/a.png"_qs));
    loadFolder(*answerer, w(), folder);

    QCOMPARE(w()->devicePixelRatio(), expectedRatio());
    QCOMPARE(shown().devicePixelRatio(), expectedRatio());
    QCOMPARE(shown().deviceIndependentSize(), QSizeF(533, 400));
    QCOMPARE(shown().size(), (QSizeF(533, 400) * expectedRatio()).toSize());
}

void PicturesTest::aLongNameNeitherWidensTheWindowNorIsCutFromItsTooltip()
{
    const QString name = QString(246, u'n') + u".png"_qs;
    const QString folder = makeFolder(u"imgs"_qs, {name});
    w()->show();
    QVERIFY(QTest::qWaitForWindowExposed(w()));
    const QSize size = w()->size();
    const QSize minimumSize = w()->minimumSize();

    loadFolder(*answerer, w(), folder);
    // The new text reaches the window's layout through posted requests.
    QCoreApplication::sendPostedEvents();
    w()->layout()->activate();
    QCOMPARE(w()->size(), size);
    QCOMPARE(w()->minimumSize(), minimumSize);
    QLabel *line = label(w(), "imageNameLabel");
    QCOMPARE(line->text(), u"图片名称:%1(1/1)"_qs.arg(name));
    QCOMPARE(line->toolTip(), line->text());
}

void PicturesTest::preparedNeighboursShowWhatADirectDecodeShows()
{
    const QString folder = makeFolder(u"imgs"_qs, {});
    QVERIFY(picture(QSize(300, 200), Qt::red).save(folder + u"/a.png"_qs));
    QVERIFY(picture(QSize(1600, 1200), Qt::green).save(folder + u"/b.jpg"_qs));
    QVERIFY(picture(QSize(200, 300), Qt::blue).save(folder + u"/c.bmp"_qs));
    loadFolder(*answerer, w(), folder);

    for (const QString &name : {u"b.jpg"_qs, u"c.bmp"_qs}) {
        QTRY_VERIFY(prepared(folder + u'/' + name));
        call(w(), "nextImage");
        QCOMPARE(shown().toImage(), direct(folder + u'/' + name));
    }
    // The picture shown before is still held.
    QVERIFY(prepared(folder + u"/b.jpg"_qs));
    call(w(), "previousImage");
    QCOMPARE(shown().toImage(), direct(folder + u"/b.jpg"_qs));
}

void PicturesTest::aFileReplacedAfterItsDecodeShowsItsNewContent()
{
    const QString folder = makeFolder(u"imgs"_qs, {u"a.png"_qs});
    const QString next = folder + u"/b.png"_qs;
    QVERIFY(picture(QSize(400, 300), Qt::red).save(next));
    loadFolder(*answerer, w(), folder);
    QTRY_VERIFY(prepared(next));

    QVERIFY(picture(QSize(300, 400), Qt::blue).save(next));
    call(w(), "nextImage");
    QCOMPARE(shown().toImage(), direct(next));
    QCOMPARE(shown().deviceIndependentSize(), QSizeF(300, 400));
}

void PicturesTest::anUndecodableNeighbourWarnsOnlyWhenMovedTo()
{
    const QString folder = makeFolder(u"imgs"_qs, {u"a.png"_qs});
    const QString next = folder + u"/b.png"_qs;
    writeFile(next, "no picture");
    loadFolder(*answerer, w(), folder);
    QTRY_VERIFY(prepared(next));
    QCoreApplication::processEvents();
    QVERIFY(answerer->boxes.isEmpty());

    call(w(), "nextImage");
    QCOMPARE(answerer->boxTexts(), QStringList{u"未加载图像："_qs + QDir::toNativeSeparators(next)});
    QVERIFY(shown().isNull());
}

void PicturesTest::anotherFolderNeverShowsPicturesOfTheOldOne()
{
    const QStringList names{u"a.png"_qs, u"b.png"_qs, u"c.png"_qs};
    const QString old = makeFolder(u"old"_qs, names);
    const QString folder = makeFolder(u"new"_qs, {});
    for (const QString &name : names)
        QVERIFY(picture(QSize(40, 30), Qt::magenta).save(folder + u'/' + name));
    loadFolder(*answerer, w(), old);
    call(w(), "nextImage");
    loadFolder(*answerer, w(), folder);

    for (const QString &name : names.mid(1)) {
        QTRY_VERIFY(prepared(folder + u'/' + name));
        call(w(), "nextImage");
        QCOMPARE(shown().toImage(), direct(folder + u'/' + name));
    }
    QVERIFY(!prepared(old + u"/a.png"_qs) && !prepared(old + u"/c.png"_qs));
}

QTEST_MAIN(PicturesTest)
#include "tst_pictures.moc"
