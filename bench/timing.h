#pragma once

// What the benchmark programs share: medians of timed runs, and a debug log
// kept quiet so that the window's diagnostic lines do not drown the figures.
#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace Bench {

inline double median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

template<typename Work>
double medianMilliseconds(int runs, Work work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    return median(times);
}

inline void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace Bench
