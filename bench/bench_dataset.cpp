// Times the dataset window on a big folder: opening it, changing its filter,
// Alt+Right on its longest way, and what it adds to a save-and-next.
//
// Run by hand from the build folder: ./bench/bench_dataset [images]
// (1,000,000 by default; the folder's files are hard links to one 1x1
// picture, so writing them takes seconds, listing them a few more).
#include "dialoganswerer.h"
#include "labellingsession.h"
#include "tavrelin.h"
#include "testwindow.h"
#include "timing.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

// A folder of `count` images and an annotation file with a row for each:
// every other image marked with one entry, every tenth with another too.
void prepare(const QString &folder, const QString &csvPath, int count)
{
    Bench::makeLinkedImages(folder, count);

    QFile csv(csvPath);
    if (!csv.open(QIODevice::WriteOnly | QIODevice::Text))
        qFatal("cannot write %s", qPrintable(csvPath));
    QTextStream out(&csv);
    out << "图片名称," << TestWindow::catalogue().join(u',') << "\n";
    for (int i = 0; i < count; ++i) {
        out << Bench::imageName(i);
        for (int k = 0; k < 19; ++k)
            out << ((k == 3 && i % 2 == 0) || (k == 10 && i % 10 == 0) ? ",1" : ",0");
        out << "\n";
    }
}

void activate(QWidget *window)
{
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window))
        qFatal("the window does not become active");
}

// Milliseconds of `work` until what it asked the windows to show is shown.
template<typename Work>
double shownAfter(Work work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return timer.nsecsElapsed() / 1e6;
}

// Median of save-and-next steps, each with a label that no image has in the
// file added, so that every step saves.
double threadMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// One step; `cpu`, when given, receives the processor time that the GUI
// thread spent on it, which neither the disk nor other programs stretch.
double saveAndNextStep(Tavrelin &window, double *cpu = nullptr)
{
    QPushButton *button = TestWindow::button(&window, QStringLiteral("保存并下一张"));
    QMetaObject::invokeMethod(&window, "annotate", Q_ARG(QString, TestWindow::catalogue().at(0)));
    const double started = threadMilliseconds();
    const double wall = shownAfter([button] { button->click(); });
    if (cpu)
        *cpu = threadMilliseconds() - started;
    return wall;
}

double saveAndNext(Tavrelin &window, int runs)
{
    std::vector<double> times;
    for (int run = 0; run < runs; ++run)
        times.push_back(saveAndNextStep(window));
    return Bench::median(times);
}

} // namespace

int main(int argc, char *argv[])
{
    Bench::Application app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;

    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("images"));
    const QString csvPath = dir.filePath(QStringLiteral("labels.csv"));
    QElapsedTimer preparing;
    preparing.start();
    prepare(folder, csvPath, count);
    std::printf("%d images and rows written in %.1f s\n", count, preparing.elapsed() / 1e3);

    DialogAnswerer answerer;
    answerer.answerFileDialog(csvPath);
    Tavrelin window;
    window.show();
    answerer.answerFileDialog(folder);
    QMetaObject::invokeMethod(&window, "loadImages");
    if (TestWindow::imageFiles(&window).size() != count)
        qFatal("the folder was not listed whole");

    // One display of an image, the part of every step below that belongs to
    // the main window alone.
    int shown = 0;
    const double display = Bench::medianMilliseconds(5, [&] { window.labelling()->moveTo(1 + shown++ % 2); });
    std::printf("display of one image by the main window: %.2f ms\n", display);

    const int runs = 5;
    // Save-and-next is mostly writing the whole file; many steps even out
    // the disk.
    const int steps = 15;
    window.labelling()->moveTo(count / 2);
    const double closedStep = saveAndNext(window, steps);

    activate(&window);
    const double opening =
        shownAfter([&] { QTest::keyClick(&window, Qt::Key_D, Qt::ControlModifier); });
    QWidget *dataset = window.findChild<QWidget *>(QStringLiteral("datasetWindow"));
    if (!dataset)
        qFatal("Ctrl+D opened no dataset window");
    std::printf("opening the dataset window (Ctrl+D): %.1f ms (goal: under 500)\n", opening);

    auto *labelFilter = dataset->findChild<QComboBox *>(QStringLiteral("labelFilter"));
    auto *nameFilter = dataset->findChild<QLineEdit *>(QStringLiteral("nameFilter"));
    std::vector<double> filtering;
    for (int run = 0; run < runs; ++run) {
        filtering.push_back(shownAfter([&] { labelFilter->setCurrentIndex(3 + 10); }));
        filtering.push_back(shownAfter([&] { labelFilter->setCurrentIndex(2); }));
        filtering.push_back(shownAfter([&] { nameFilter->setText(QStringLiteral("99")); }));
        filtering.push_back(shownAfter([&] { nameFilter->clear(); }));
        filtering.push_back(shownAfter([&] { labelFilter->setCurrentIndex(0); }));
    }
    std::printf("changing the filter (an entry, unmarked, a name, back): median %.1f ms, "
                "slowest %.1f ms (goal: under 200)\n",
                Bench::median(filtering), *std::max_element(filtering.begin(), filtering.end()));

    window.labelling()->moveTo(count / 2 + steps + 1);
    const double openStep = saveAndNext(window, steps);
    std::printf("save-and-next: %.1f ms before the window was opened, %.1f ms with it open "
                "(x%.2f)\n",
                closedStep, openStep, openStep / closedStep);
    // The disk's and the machine's moods weigh more than the window: steps
    // with the window closed and open, taken in turns, meet the same ones.
    std::vector<double> closedSteps, openSteps, closedCpu, openCpu;
    for (int run = 0; run < steps; ++run) {
        double cpu = 0;
        dataset->hide();
        closedSteps.push_back(saveAndNextStep(window, &cpu));
        closedCpu.push_back(cpu);
        dataset->show();
        if (!QTest::qWaitForWindowExposed(dataset))
            qFatal("the dataset window does not show");
        QCoreApplication::processEvents();
        openSteps.push_back(saveAndNextStep(window, &cpu));
        openCpu.push_back(cpu);
    }
    const double closedInTurn = Bench::median(closedSteps);
    const double openInTurn = Bench::median(openSteps);
    std::printf("save-and-next in turns: %.1f ms with the window closed, %.1f ms with it open "
                "(x%.2f; goal: at most x1.2); processor time %.1f and %.1f ms (x%.2f)\n",
                closedInTurn, openInTurn, openInTurn / closedInTurn, Bench::median(closedCpu),
                Bench::median(openCpu), Bench::median(openCpu) / Bench::median(closedCpu));

    // The longest way: from the first image, only the last one's name holds
    // the filter's text, so every name is looked at.
    nameFilter->setText(Bench::imageName(count - 1).mid(3, 7));
    std::vector<double> stepping;
    for (int run = 0; run < runs; ++run) {
        window.labelling()->moveTo(0);
        activate(&window);
        stepping.push_back(
            shownAfter([&] { QTest::keyClick(&window, Qt::Key_Right, Qt::AltModifier); }));
        if (TestWindow::currentIndex(&window) != count - 1)
            qFatal("Alt+Right did not reach the last image");
    }
    const double step = Bench::median(stepping);
    std::printf("Alt+Right from the first image to the last: %.1f ms, of which the display "
                "%.2f ms and the search %.1f ms (goal: under 100)\n",
                step, display, step - display);
    std::fflush(stdout);
    if (!answerer.boxes.isEmpty())
        std::printf("unexpected message: %s\n", qPrintable(answerer.boxes.first().text));
    return 0;
}
