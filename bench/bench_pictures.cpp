// Times a step through a folder of photos: the click on "保存并下一张" until
// the next picture is on the image area, median of 30 clicks, once with the
// person pausing 300 ms before each click (time for the neighbour to be
// prepared in the background) and once clicking without a pause. Beside it,
// one plain full decode of such a file and a full decode scaled smoothly to
// the image area, which is what every step cost when each picture was decoded
// whole on the spot. The photos are noise over gradients, so that the JPEG
// decoder has real work to do.
//
// Then the same with the inspection view open beside the window, 1600 by 1000
// pixels: the time from the click until the view, too, has drawn the next
// photo at its full resolution (with the 300 ms pause, in which the view
// prepares the photos beside the current one), and the time of one repaint
// while the person drags the picture at 100 %, which must stay under 16 ms
// for the picture to follow the pointer at 60 frames a second.
//
// Run by hand from the build folder: ./bench/bench_pictures
#include "dialoganswerer.h"
#include "inspectionview.h"
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

InspectionView *openView(Tavrelin &window)
{
    QTest::mouseDClick(window.imageArea(), Qt::LeftButton, {}, QPoint(300, 200));
    auto *view = window.findChild<InspectionView *>();
    if (!view)
        qFatal("no inspection view");
    view->resize(1600, 1000);
    QCoreApplication::processEvents();
    return view;
}

struct ViewTimes
{
    double step = 0;
    double repaint = 0;
    int mostHeld = 0;
};

ViewTimes viewMilliseconds(const QString &folder, const QString &csvPath)
{
    DialogAnswerer answerer;
    answerer.answerFileDialog(csvPath);
    Tavrelin window;
    window.show();
    TestWindow::loadFolder(answerer, &window, folder);
    InspectionView *view = openView(window);
    InspectionCanvas *canvas = view->canvas();
    QPushButton *saveAndNext = TestWindow::button(&window, QStringLiteral("保存并下一张"));

    ViewTimes result;
    std::vector<double> steps;
    for (int click = 0; click < photoCount - 1; ++click) {
        TestWindow::button(&window, TestWindow::entry(1 + click % 19))->click();
        QTest::qWait(300);
        const qint64 before = canvas->picture().cacheKey();
        QElapsedTimer timer;
        timer.start();
        saveAndNext->click();
        canvas->repaint();
        steps.push_back(timer.nsecsElapsed() / 1e6);
        if (canvas->picture().isNull() || canvas->picture().cacheKey() == before)
            qFatal("click %d showed no new picture in the view", click);
        result.mostHeld = std::max(result.mostHeld, view->pictures().heldCount());
    }
    result.step = Bench::median(steps);

    // Dragging at 100 % from the middle, a few pixels a move, as a hand does.
    canvas->showActualPixels();
    canvas->repaint();
    QPoint at = canvas->rect().center();
    QTest::mousePress(canvas, Qt::LeftButton, {}, at);
    std::vector<double> repaints;
    for (int move = 0; move < 120; ++move) {
        at += QPoint(move % 40 < 20 ? 6 : -6, move % 20 < 10 ? 3 : -3);
        QElapsedTimer timer;
        timer.start();
        QTest::mouseMove(canvas, at);
        canvas->repaint();
        repaints.push_back(timer.nsecsElapsed() / 1e6);
    }
    QTest::mouseRelease(canvas, Qt::LeftButton, {}, at);
    result.repaint = Bench::median(repaints);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    Bench::Application app(argc, argv);

    std::printf("%-10s %17s %19s %22s %19s %22s %23s %12s\n", "photos", "full decode (ms)",
                "decode+scale (ms)", "step, 300 ms pause", "step, no pause",
                "view step, 300 ms", "view repaint, panning", "most held");
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
        const ViewTimes view = viewMilliseconds(folder, dir.filePath(QStringLiteral("c.csv")));
        std::printf("%4dx%-5d %17.1f %19.1f %22.1f %19.1f %22.1f %23.1f %12d\n", size.width(),
                    size.height(), decode, scaled, paused, hurried, view.step, view.repaint,
                    view.mostHeld);
        std::fflush(stdout);
    }
    return 0;
}
