// Times what the window does with the annotation file on big folders: the
// bookkeeping of one display (labels and counts, with a 1x1 picture so that
// decoding and scaling cost nothing), a save and a jump. Beside them it times
// counting by rereading the file once per listed image, which is what the
// counts would cost without the single pass.
// After them it times Ctrl+U, the key to the next unmarked image, on its longest way.
//
// Run by hand from the build folder: ./bench/bench_annotations
#include "annotationfile.h"
#include "dialoganswerer.h"
#include "tavrelin.h"
#include "testwindow.h"
#include "timing.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QString imageName(int i)
{
    return QStringLiteral("img%1.png").arg(i, 6, 10, QLatin1Char('0'));
}

// A folder of `count` tiny images and an annotation file with a row for each,
// every other one marked.
void prepare(const QString &folder, const QString &csvPath, int count)
{
    QDir().mkpath(folder);
    QImage pixel(1, 1, QImage::Format_RGB32);
    pixel.fill(Qt::gray);
    const QString first = folder + QStringLiteral("/") + imageName(0);
    pixel.save(first);
    for (int i = 1; i < count; ++i)
        QFile::copy(first, folder + QStringLiteral("/") + imageName(i));

    QFile csv(csvPath);
    if (!csv.open(QIODevice::WriteOnly | QIODevice::Text))
        qFatal("cannot write %s", qPrintable(csvPath));
    QTextStream out(&csv);
    out << "图片名称," << TestWindow::catalogue().join(u',') << "\n";
    for (int i = 0; i < count; ++i) {
        out << imageName(i);
        for (int k = 0; k < 19; ++k)
            out << (k == 3 && i % 2 == 0 ? ",1" : ",0");
        out << "\n";
    }
}

// Rereads the file for every listed image, as isImageMarked does; stops once
// it has taken a few seconds and extrapolates to the whole list.
double rereadingMilliseconds(Tavrelin *window, int count)
{
    QElapsedTimer timer;
    timer.start();
    int asked = 0;
    while (asked < count && timer.elapsed() < 3000) {
        bool marked = false;
        QMetaObject::invokeMethod(window, "isImageMarked", Q_RETURN_ARG(bool, marked),
                                  Q_ARG(QString, imageName(asked)));
        ++asked;
    }
    return timer.nsecsElapsed() / 1e6 * count / asked;
}

// What the annotation file's lock adds to a save: the file layer's save of one
// row into a file of `count` rows, with the lock and without it, alternately
// so that both meet the same disk cache.
void lockCost(int count)
{
    QTemporaryDir dir;
    const QString csvPath = dir.filePath(QStringLiteral("labels.csv"));
    prepare(dir.filePath(QStringLiteral("images")), csvPath, 1);
    const QStringList catalogue = TestWindow::catalogue();
    {
        QFile csv(csvPath);
        csv.open(QIODevice::Append | QIODevice::Text);
        QTextStream out(&csv);
        for (int i = 1; i < count; ++i)
            out << imageName(i) << QString(QStringLiteral(",0")).repeated(19) << "\n";
    }
    int round = 0;
    const auto save = [&](bool locked) {
        const QStringList annotations{catalogue.at(round++ % 19)};
        const QString name = imageName(count / 2);
        const AnnotationFile::SaveResult result =
            locked ? AnnotationFile::saveRow(csvPath, name, catalogue, annotations)
                   : AnnotationFile::rewriteRow(csvPath, name, catalogue, annotations);
        if (result != AnnotationFile::SaveResult::Saved)
            qFatal("save failed");
    };
    std::vector<double> withLock, withoutLock;
    for (int i = 0; i < 15; ++i) {
        withLock.push_back(Bench::medianMilliseconds(1, [&] { save(true); }));
        withoutLock.push_back(Bench::medianMilliseconds(1, [&] { save(false); }));
    }
    const double locked = Bench::median(withLock);
    const double unlocked = Bench::median(withoutLock);
    std::printf("\nsave of one row into %d rows: %.1f ms with the lock, %.1f ms without (%+.1f%%)\n",
                count, locked, unlocked, 100 * (locked - unlocked) / unlocked);
}

// Ctrl+U from the first image when only the last one is unmarked: one read of
// the file, a pass over every listed image and the display of the last one.
double nextUnmarkedMilliseconds(Tavrelin &window, DialogAnswerer &answerer,
                                const QString &folder, const QString &csvPath, int count)
{
    QFile csv(csvPath);
    if (!csv.open(QIODevice::WriteOnly | QIODevice::Text))
        qFatal("cannot write %s", qPrintable(csvPath));
    QTextStream out(&csv);
    out << "图片名称," << TestWindow::catalogue().join(u',') << "\n";
    for (int i = 0; i < count; ++i)
        out << imageName(i) << (i < count - 1 ? ",1" : ",0") << QStringLiteral(",0").repeated(18)
            << "\n";
    out.flush();
    csv.close();

    window.show();
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
        answerer.answerFileDialog(folder);
        QMetaObject::invokeMethod(&window, "loadImages");
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            qFatal("the window does not become active");
        QElapsedTimer timer;
        timer.start();
        QTest::keyClick(&window, Qt::Key_U, Qt::ControlModifier);
        times.push_back(timer.nsecsElapsed() / 1e6);
        if (TestWindow::currentIndex(&window) != count - 1)
            qFatal("Ctrl+U did not reach the last image");
    }
    return Bench::median(times);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(Bench::quietDebug);

    std::printf("%8s %14s %10s %10s %22s\n", "images", "display (ms)", "save (ms)",
                "jump (ms)", "reread per image (ms)");
    QStringList nextUnmarked;
    for (const int count : {1000, 10000, 100000}) {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("images"));
        const QString csvPath = dir.filePath(QStringLiteral("labels.csv"));
        prepare(folder, csvPath, count);

        DialogAnswerer answerer;
        answerer.answerFileDialog(csvPath);
        Tavrelin window;
        answerer.answerFileDialog(folder);
        QMetaObject::invokeMethod(&window, "loadImages");

        const double display = Bench::medianMilliseconds(5, [&] {
            QMetaObject::invokeMethod(&window, "loadCurrentImage");
        });
        // Each save adds a label the first image lacks, so there is always a change.
        int added = 0;
        const double save = Bench::medianMilliseconds(5, [&] {
            QMetaObject::invokeMethod(&window, "annotate",
                                      Q_ARG(QString, TestWindow::catalogue().at(4 + added++)));
            QMetaObject::invokeMethod(&window, "saveAnnotations");
        });
        const double jump = Bench::medianMilliseconds(5, [&] {
            QMetaObject::invokeMethod(&window, "jumpToLastMarkedImage");
        });
        const double reread = rereadingMilliseconds(&window, count);
        std::printf("%8d %14.1f %10.1f %10.1f %22.1f\n", count, display, save, jump, reread);
        std::fflush(stdout);

        if (!answerer.boxes.isEmpty())
            std::printf("unexpected message: %s\n", qPrintable(answerer.boxes.first().text));
        nextUnmarked.append(QStringLiteral("%1 images %2 ms").arg(count).arg(
            nextUnmarkedMilliseconds(window, answerer, folder, csvPath, count), 0, 'f', 1));
    }
    std::printf("\nnext unmarked image (Ctrl+U) from the first, only the last unmarked: %s\n",
                qPrintable(nextUnmarked.join(QStringLiteral(", "))));
    lockCost(100000);
    return 0;
}
