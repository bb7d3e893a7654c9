#pragma once

// What the benchmark programs share: medians of timed runs, a debug log kept
// quiet so that the window's diagnostic lines do not drown the figures, and
// big folders of tiny images.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QString>
#include <QtGlobal>

#include <unistd.h>

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

// The benchmarks' application: offscreen unless QT_QPA_PLATFORM says
// otherwise, with the debug log kept quiet.
class Application : public QApplication
{
public:
    Application(int &argc, char **argv)
        : QApplication((offscreenByDefault(), argc), argv)
    {
        qInstallMessageHandler(quietDebug);
    }

private:
    static void offscreenByDefault()
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }
};

inline QString imageName(int i)
{
    return QStringLiteral("img%1.png").arg(i, 7, 10, QLatin1Char('0'));
}

// `count` images of one pixel named by imageName() in `folder`, hard links to
// a few files, so that only the program's bookkeeping counts. A file takes a
// limited number of links (65,000 on ext4): every so often a copy starts the
// next run of links.
inline void makeLinkedImages(const QString &folder, int count)
{
    QDir().mkpath(folder);
    QImage pixel(1, 1, QImage::Format_RGB32);
    pixel.fill(Qt::gray);
    QByteArray source;
    for (int i = 0; i < count; ++i) {
        const QString path = folder + QStringLiteral("/") + imageName(i);
        if (i % 50000 == 0) {
            pixel.save(path);
            source = QFile::encodeName(path);
        } else if (::link(source.constData(), QFile::encodeName(path).constData()) != 0) {
            qFatal("cannot link %s", qPrintable(path));
        }
    }
}

} // namespace Bench
