// Times a step through a folder of photos: the click on "保存并下一张" until
// the next picture is on the image area, median of 30 clicks, once with the
// person pausing 300 ms before each click (time for the neighbour to be
// prepared in the background) and once clicking without a pause. Beside it,
// one plain full decode of such a file and a full decode scaled smoothly to
// the image area, which is what every step cost when each picture was decoded
// whole on the spot. The photos are noise over gradients, so that the JPEG
// decoder has real work to do.
//
// Run by hand from the build folder: ./bench/bench_pictures
#include "dialoganswerer.h"
#include "tavrelin.h"
#include "testwindow.h"
#include "timing.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int photoCount = 31;

QString photoName(int i)
{
    return QStringLiteral("photo%1.jpg").arg(i, 2, 10, QLatin1Char('0'));
}

void writePhotos(const QString &folder, const QSize &size)
{
    QDir().mkpath(folder);
    QRandomGenerator random(size.width());
    for (int i = 0; i < photoCount; ++i) {
        QImage photo(size, QImage::Format_RGB32);
        QLinearGradient gradient(0, 0, size.width(), size.height());
        gradient.setColorAt(0, QColor::fromHsv(i * 11 % 360, 200, 220));
        gradient.setColorAt(1, QColor::fromHsv((i * 11 + 150) % 360, 160, 60));
        QPainter(&photo).fillRect(photo.rect(), gradient);
        for (int y = 0; y < size.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(photo.scanLine(y));
            for (int x = 0; x < size.width(); ++x) {
                const int noise = int(random.bounded(48)) - 24;
                const QRgb pixel = line[x];
                line[x] = qRgb(qBound(0, qRed(pixel) + noise, 255),
                               qBound(0, qGreen(pixel) + noise, 255),
                               qBound(0, qBlue(pixel) + noise, 255));
            }
        }
        if (!photo.save(folder + u'/' + photoName(i), "JPG", 90))
            qFatal("cannot write %s", qPrintable(folder));
    }
}

// A fresh window on the folder; before each click a label is given, so that
// every click saves a row, as it does while labelling.
double stepMilliseconds(const QString &folder, const QString &csvPath, int pause)
{
    DialogAnswerer answerer;
    answerer.answerFileDialog(csvPath);
    Tavrelin window;
    TestWindow::loadFolder(answerer, &window, folder);
    QPushButton *saveAndNext = TestWindow::button(&window, QStringLiteral("保存并下一张"));
    QLabel *area = TestWindow::label(&window, "imageLabel");

    std::vector<double> times;
    for (int click = 0; click < photoCount - 1; ++click) {
        TestWindow::button(&window, TestWindow::entry(1 + click % 19))->click();
        if (pause > 0)
            QTest::qWait(pause);
        const qint64 before = area->pixmap().cacheKey();
        QElapsedTimer timer;
        timer.start();
        saveAndNext->click();
        times.push_back(timer.nsecsElapsed() / 1e6);
        if (area->pixmap().isNull() || area->pixmap().cacheKey() == before)
            qFatal("click %d showed no new picture", click);
    }
    if (!answerer.boxes.isEmpty())
        std::printf("unexpected message: %s\n", qPrintable(answerer.boxes.first().text));
    return Bench::median(times);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(Bench::quietDebug);

    std::printf("%-10s %17s %19s %22s %19s\n", "photos", "full decode (ms)", "decode+scale (ms)",
                "step, 300 ms pause", "step, no pause");
    for (const QSize size : {QSize(4000, 3000), QSize(1920, 1080)}) {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("photos"));
        writePhotos(folder, size);
        const QString sample = folder + u'/' + photoName(0);

        const double decode = Bench::medianMilliseconds(5, [&] { QImage picture(sample); });
        const double scaled = Bench::medianMilliseconds(5, [&] {
            QPixmap::fromImage(QImage(sample))
                .scaled(QSize(600, 400), Qt::KeepAspectRatio, Qt::SmoothTransformation);
        });
        const double paused = stepMilliseconds(folder, dir.filePath(QStringLiteral("a.csv")), 300);
        const double hurried = stepMilliseconds(folder, dir.filePath(QStringLiteral("b.csv")), 0);
        std::printf("%4dx%-5d %17.1f %19.1f %22.1f %19.1f\n", size.width(), size.height(), decode,
                    scaled, paused, hurried);
        std::fflush(stdout);
    }
    return 0;
}
