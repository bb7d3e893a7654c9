// Times what the window does with the annotation file on big folders, with
// 1x1 pictures (hard links of one file) so that only the bookkeeping counts:
// opening the folder, a view step, a save-and-next (at a person's pace and
// back to back), Ctrl+U on its longest way
// and a jump, each the median of several runs, and Ctrl+S beside the Ctrl+Z
// that takes it back; beside them one bare read of
// the annotation file and one write of as many bytes with fsync, and the
// peak memory of the run.
// Last, it times the file layer's save of one row into 100,000 rows with the
// annotation file's lock and without it.
//
// Run by hand from the build folder: ./bench/bench_annotations
// (a few minutes, mostly making a million links; about 120 MB of disk).
#include "annotationfile.h"
#include "fileoracle.h"
#include "labellingsession.h"
#include "dialoganswerer.h"
#include "tavrelin.h"
#include "testwindow.h"
#include "timing.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// The peak of resident memory since the last reset, in MB.
double peakMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    }
    return -1;
}

void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// `count` hard links of 1x1 pictures; a file system allows only so many links
// to one file, so a new picture starts every 60,000.
// An annotation file with `rows` rows, sorted as a save leaves it; `marked`
// says which rows carry a label.
template<typename Marked>
void writeAnnotations(const QString &csvPath, int rows, Marked marked)
{
    QByteArray content = "图片名称," + TestWindow::catalogue().join(u',').toUtf8() + "\n";
    content.reserve(rows * 52);
    for (int i = 0; i < rows; ++i) {
        content += Bench::imageName(i).toUtf8();
        for (int k = 0; k < 19; ++k)
            content += k == 3 && marked(i) ? ",1" : ",0";
        content += '\n';
    }
    TestWindow::writeFile(csvPath, content);
}

double bareReadMilliseconds(const QString &path)
{
    return Bench::medianMilliseconds(5, [&] {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        if (file.readAll().isEmpty())
            qFatal("empty read");
    });
}

double writeAndSyncMilliseconds(const QString &path, qint64 bytes)
{
    const QByteArray content(bytes, 'x');
    const QByteArray name = QFile::encodeName(path);
    return Bench::medianMilliseconds(5, [&] {
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, content.constData(), size_t(content.size())) != content.size()
            || ::fsync(fd) != 0 || ::close(fd) != 0)
            qFatal("cannot write %s", name.constData());
    });
}

void openFolder(Tavrelin &window, DialogAnswerer &answerer, const QString &folder)
{
    answerer.answerFileDialog(folder);
    QMetaObject::invokeMethod(&window, "loadImages");
}

// Waits until the window trusts the annotation file's times again, so that
// a step after a rewrite of the file times the step, not a read.
void letTheFileSettle(Tavrelin &window)
{
    QTest::qWait(100);
    window.labelling()->moveTo(0);
}

void run(int images, int rows)
{
    resetPeak();
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench_annotations-XXXXXX"));
    const QString folder = dir.filePath(QStringLiteral("images"));
    const QString csvPath = dir.filePath(QStringLiteral("labels.csv"));
    Bench::makeLinkedImages(folder, images);
    // Every other image is marked, and the last marked row is a listed one.
    writeAnnotations(csvPath, rows, [images](int i) { return i % 2 == 0 && i < images; });
    const double read = bareReadMilliseconds(csvPath);
    const double write =
        writeAndSyncMilliseconds(dir.filePath(QStringLiteral("written")), QFileInfo(csvPath).size());

    DialogAnswerer answerer;
    answerer.answerFileDialog(csvPath);
    Tavrelin window;
    window.show();
    const double open = Bench::medianMilliseconds(3, [&] { openFolder(window, answerer, folder); });
    letTheFileSettle(window);

    int step = 0;
    const double view = Bench::medianMilliseconds(21, [&] {
        QMetaObject::invokeMethod(&window, step++ % 2 ? "previousImage" : "nextImage");
    });
    if (TestWindow::currentIndex(&window) != 1)
        qFatal("the view steps did not move");

    // Each save gives the current image a label it lacks, so there is always a change.
    // At a person's pace: each after a pause in which the window's events run,
    // so that the look at the file once the save before has settled is made,
    // as it is between a person's keys, and not timed.
    QPushButton *saveAndNext = TestWindow::button(&window, QStringLiteral("保存并下一张"));
    int saved = 0;
    std::vector<double> paced;
    for (int i = 0; i < 11; ++i) {
        QTest::qWait(150);
        paced.push_back(Bench::medianMilliseconds(1, [&] {
            QMetaObject::invokeMethod(&window, "annotate",
                                      Q_ARG(QString, TestWindow::catalogue().at(4 + saved++ % 10)));
            saveAndNext->click();
        }));
    }
    const double save = Bench::median(paced);
    // Back to back, faster than the file's identity settles: each save reads
    // the file again under the lock.
    const double hurried = Bench::medianMilliseconds(11, [&] {
        QMetaObject::invokeMethod(&window, "annotate",
                                  Q_ARG(QString, TestWindow::catalogue().at(4 + saved++ % 10)));
        saveAndNext->click();
    });

    // Ctrl+S and Ctrl+Z on the same image in turns: each undo writes back the
    // row that the save before it replaced.
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        qFatal("the window does not become active");
    // Each after the same pause, so that neither meets the disk still busy
    // with the write before it, and after a look at the file, so that both
    // find the file just written read and trusted.
    const QByteArray unsaved = TestWindow::readFile(csvPath);
    const auto settle = [&] {
        QTest::qWait(200);
        bool marked = false;
        QMetaObject::invokeMethod(&window, "isImageMarked", Q_RETURN_ARG(bool, marked),
                                  Q_ARG(QString, Bench::imageName(0)));
    };
    std::vector<double> saves, undos;
    for (int i = 0; i < 15; ++i) {
        QMetaObject::invokeMethod(&window, "annotate",
                                  Q_ARG(QString, TestWindow::catalogue().at(4 + i % 10)));
        settle();
        saves.push_back(Bench::medianMilliseconds(1, [&] {
            QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
        }));
        settle();
        undos.push_back(Bench::medianMilliseconds(1, [&] {
            QTest::keyClick(&window, Qt::Key_Z, Qt::ControlModifier);
        }));
    }
    if (TestWindow::readFile(csvPath) != unsaved)
        qFatal("the undos did not give the file back");
    const double ctrlS = Bench::median(saves);
    const double undoSave = Bench::median(undos);

    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        window.labelling()->moveTo(0);
        times.push_back(Bench::medianMilliseconds(1, [&] {
            QMetaObject::invokeMethod(&window, "jumpToLastMarkedImage");
        }));
        if (TestWindow::currentIndex(&window) == 0)
            qFatal("the jump did not move");
    }
    const double jump = Bench::median(times);

    // Ctrl+U from the first image when only the last listed one is unmarked.
    writeAnnotations(csvPath, rows, [images](int i) { return i != images - 1; });
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        qFatal("the window does not become active");
    QTest::keyClick(&window, Qt::Key_U, Qt::ControlModifier); // reads the new file
    letTheFileSettle(window);
    times.clear();
    for (int i = 0; i < 5; ++i) {
        window.labelling()->moveTo(0);
        times.push_back(Bench::medianMilliseconds(1, [&] {
            QTest::keyClick(&window, Qt::Key_U, Qt::ControlModifier);
        }));
        if (TestWindow::currentIndex(&window) != images - 1)
            qFatal("Ctrl+U did not reach the last image");
    }
    const double nextUnmarked = Bench::median(times);

    if (!answerer.boxes.isEmpty())
        std::printf("unexpected message: %s\n", qPrintable(answerer.boxes.first().text));
    std::printf("%9d %9d %9.1f %8.2f %10.1f %8.1f %7.1f %6.1f %12.1f %8.0f\n", images, rows, open,
                view, save, nextUnmarked, jump, read, write, peakMegabytes());
    std::printf("%9s %9s Ctrl+S %.1f, Ctrl+Z taking that save back %.1f, save+next back to back %.1f\n",
                "", "", ctrlS, undoSave, hurried);
    std::fflush(stdout);
}

// What the annotation file's lock adds to a save: the file layer's save of one
// row into a file of `count` rows, with the lock and without it, alternately
// so that both meet the same disk cache.
void lockCost(int count)
{
    QTemporaryDir dir;
    const QString csvPath = dir.filePath(QStringLiteral("labels.csv"));
    writeAnnotations(csvPath, count, [](int) { return false; });
    const QStringList catalogue = TestWindow::catalogue();
    int round = 0;
    const auto save = [&](bool locked) {
        const QStringList annotations{catalogue.at(round++ % 19)};
        const QString name = Bench::imageName(count / 2);
        const SaveResult result =
            locked ? FileOracle::saveRow(csvPath, name, catalogue, annotations)
                   : FileOracle::rewriteRow(csvPath, name, catalogue, annotations);
        if (result != SaveResult::Saved)
            qFatal("save failed");
    };
    std::vector<double> withLock, withoutLock;
    for (int i = 0; i < 15; ++i) {
        withLock.push_back(Bench::medianMilliseconds(1, [&] { save(true); }));
        withoutLock.push_back(Bench::medianMilliseconds(1, [&] { save(false); }));
    }
    const double locked = Bench::median(withLock);
    const double unlocked = Bench::median(withoutLock);
    std::printf("\nfile layer's save of one row into %d rows: %.1f ms with the lock, %.1f ms "
                "without (%+.1f%%)\n",
                count, locked, unlocked, 100 * (locked - unlocked) / unlocked);
}

} // namespace

int main(int argc, char *argv[])
{
    Bench::Application app(argc, argv);

    std::printf("medians in ms; peak resident memory in MB\n");
    std::printf("%9s %9s %9s %8s %10s %8s %7s %6s %12s %8s\n", "images", "rows", "open", "view",
                "save+next", "Ctrl+U", "jump", "read", "write+fsync", "peak");
    const QStringList only = app.arguments().mid(1);
    for (const auto &[images, rows] : {std::pair{100000, 100000}, std::pair{1000000, 1000000},
                                       std::pair{10000, 1000000}}) {
        if (only.isEmpty() || only.contains(QString::number(images)))
            run(images, rows);
    }
    if (only.isEmpty())
        lockCost(100000);
    return 0;
}
