// Times a training split of a big annotation file, from reading it to the
// four files written and synced, and prints the peak resident memory.
//
// Run by hand from the build folder: ./bench/bench_split [rows]
// (1,000,000 marked rows by default, about 60 MB of file; a few seconds).
#include "annotationformat.h"
#include "timing.h"
#include "trainingsplit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <random>

#include <sys/resource.h>

namespace {

// Label frequencies from common to rare, as a defect dataset has them.
const double frequencies[19] = {0.35, 0.22, 0.15, 0.11, 0.08, 0.06,  0.045, 0.035, 0.025, 0.02,
                                0.015, 0.012, 0.01, 0.008, 0.007, 0.006, 0.005, 0.004, 0.003};

// `count` marked rows in name order, twenty frames to a recording
// ("rec0000123_07.png"), written in pieces so that the file costs the
// process no memory of its own.
void prepare(const QString &path, int count)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray piece = AnnotationFormat::headerRow(AnnotationFormat::catalogue()).toUtf8() + '\n';
    std::mt19937 random(1);
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "rec%07d_%02d.png", i / 20, i % 20);
        piece += name;
        bool any = false;
        for (const double frequency : frequencies) {
            const bool set = double(random()) / double(std::mt19937::max()) < frequency;
            any |= set;
            piece += set ? ",1" : ",0";
        }
        if (!any)
            piece[piece.size() - 1] = '1';
        piece += '\n';
        if (piece.size() > (1 << 20)) {
            file.write(piece);
            piece.clear();
        }
    }
    file.write(piece);
}

long peakMegabytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

void split(const QString &csv, const QString &folder, const QString &pattern)
{
    QElapsedTimer timer;
    timer.start();
    const TrainingSplit::Outcome outcome =
        TrainingSplit::run(csv, AnnotationFormat::catalogue(), {{80, 10, 10}, 0, pattern}, folder);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!outcome.written)
        qFatal("%s", qPrintable(outcome.problem));
    std::printf("%-28s %6.2f s   train %lld, val %lld, test %lld   peak so far %ld MB\n",
                pattern.isEmpty() ? "without a pattern" : qPrintable(u"pattern "_qs + pattern), seconds,
                qlonglong(outcome.rows[0]), qlonglong(outcome.rows[1]), qlonglong(outcome.rows[2]),
                peakMegabytes());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    QTemporaryDir dir;
    const QString csv = dir.filePath(u"labels.csv"_qs);
    prepare(csv, count);
    std::printf("%d marked rows, %lld bytes; peak before splitting %ld MB\n", count,
                qlonglong(QFile(csv).size()), peakMegabytes());
    split(csv, dir.filePath(u"plain"_qs), QString());
    split(csv, dir.filePath(u"grouped"_qs), u"^(rec\\d+)_"_qs);
    return 0;
}
