// Times the team's classifier on a model of MobileNetV2's shape (224 x 224,
// random weights, made by make_mobilenet.py) and 1,000 JPEG photos of
// 1920 x 1080:
//  - the window's setting: the background pass of the suggestions, its images
//    a second, and meanwhile the time from showing a picture not predicted
//    yet until its suggestion is there (a jump every 1.5 s; median and 95th
//    percentile);
//  - norvanta --predict on the same folder, every core, images a second;
//  - a million listed images with a million stored predictions: from taking
//    the model until every stored prediction is answered for, the memory that
//    takes, and one step's questions (setShown, probabilities, suggested,
//    certainty) and the least sure unmarked image.
// The predictions are kept by a store in memory here: what a real store
// costs is timed beside it.
//
// Run by hand from the build folder: ./bench/bench_suggest [photos [million]]
#include "labelcatalogue.h"
#include "suggestions.h"
#include "timing.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QMutex>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <vector>

namespace {

class MemoryStore final : public PredictionStore
{
public:
    // With `generated` > 0 it holds a prediction for each of as many images
    // named Bench::imageName(), all with the stamp `stamp`.
    explicit MemoryStore(int generated = 0, qint64 size = 0, qint64 modified = 0)
        : generated(generated), size(size), modified(modified)
    {
    }

    bool open(const QString &, const QByteArray &, QString *) override { return true; }
    QHash<QString, Entry> readAll(QString *) override { return entries; }
    bool readEach(const std::function<void(const Entry &)> &take, bool, QString *) override
    {
        QRandomGenerator random(1);
        Entry entry;
        entry.size = size;
        entry.modified = modified;
        for (int i = 0; i < generated; ++i) {
            entry.fileName = Bench::imageName(i);
            entry.values.clear();
            for (qsizetype label = 0; label < labelCatalogue().size(); ++label)
                entry.values.append(float(random.generateDouble()));
            take(entry);
        }
        for (const Entry &stored : std::as_const(entries))
            take(stored);
        return true;
    }
    bool write(const QList<Entry> &written, QString *) override
    {
        for (const Entry &entry : written)
            entries.insert(entry.fileName, entry);
        return true;
    }

private:
    QHash<QString, Entry> entries;
    int generated;
    qint64 size;
    qint64 modified;
};

void writePhotos(const QString &folder, int count)
{
    QDir().mkpath(folder);
    constexpr int distinct = 20;
    QRandomGenerator random(3);
    for (int i = 0; i < distinct; ++i) {
        QImage photo(1920, 1080, QImage::Format_RGB32);
        QLinearGradient gradient(0, 0, 1920, 1080);
        gradient.setColorAt(0, QColor::fromHsv(i * 17 % 360, 200, 220));
        gradient.setColorAt(1, QColor::fromHsv((i * 17 + 150) % 360, 160, 60));
        QPainter(&photo).fillRect(photo.rect(), gradient);
        for (int y = 0; y < photo.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(photo.scanLine(y));
            for (int x = 0; x < photo.width(); ++x)
                line[x] ^= random.generate() & 0x0f0f0f;
        }
        photo.save(folder + QStringLiteral("/photo%1.jpg").arg(i, 4, 10, QLatin1Char('0')), "JPG", 90);
    }
    for (int i = distinct; i < count; ++i)
        QFile::copy(folder + QStringLiteral("/photo%1.jpg").arg(i % distinct, 4, 10, QLatin1Char('0')),
                    folder + QStringLiteral("/photo%1.jpg").arg(i, 4, 10, QLatin1Char('0')));
}

QString makeModel(const QString &base)
{
    QStringList codes;
    for (const QString &label : labelCatalogue())
        codes.append(labelCode(label));
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(MAKE_MOBILENET), base, codes.join(',')});
    if (!python.waitForFinished(300000) || python.exitCode() != 0)
        qFatal("make_mobilenet.py: %s", python.readAllStandardError().constData());
    return base + QStringLiteral(".onnx");
}

// Processor seconds spent so far by this process (or by its finished
// children): on a shared machine the figure per processor second tells what
// a machine of its own would do.
double processorSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, std::size_t(share * values.size()))];
}

// The window's setting: the pass runs and the person jumps to pictures it has
// not reached.
void windowSetting(const QString &model, const QString &folder)
{
    const QStringList names = QDir(folder).entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name);
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>());
    suggestions.setListed(folder, names);
    std::vector<double> latencies;
    QString awaited;
    QElapsedTimer shown;
    QObject::connect(&suggestions, &Suggestions::predicted, &suggestions, [&](const QStringList &done) {
        if (!awaited.isEmpty() && done.contains(awaited)) {
            latencies.push_back(shown.nsecsElapsed() / 1e6);
            awaited.clear();
        }
    });
    QElapsedTimer pass;
    pass.start();
    const double processorBefore = processorSeconds(RUSAGE_SELF);
    QString error;
    if (!suggestions.loadModel(model, &error))
        qFatal("%s", qPrintable(error));
    QElapsedTimer sinceJump;
    sinceJump.start();
    // Woken by what the pass hands over and by this clock only, as a
    // window's event loop is: the pass has every core the window leaves.
    QTimer clock;
    clock.start(100);
    while (suggestions.predictedCount() < names.size()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (sinceJump.elapsed() >= 1500 && awaited.isEmpty()) {
            const qsizetype target = names.size() - 1 - qsizetype(latencies.size()) * 37 % names.size();
            if (suggestions.probabilities(names.at(target)))
                continue;
            awaited = names.at(target);
            shown.start();
            suggestions.setShown(target);
            sinceJump.restart();
        }
    }
    const double seconds = pass.elapsed() / 1000.0;
    const double processor = processorSeconds(RUSAGE_SELF) - processorBefore;
    std::printf("window: %lld photos in %.1f s: %.1f images/s (%.1f per processor second); shown "
                "picture's suggestion after median %.0f ms, 95th percentile %.0f ms (%zu jumps)\n",
                qlonglong(names.size()), seconds, names.size() / seconds, names.size() / processor,
                percentile(latencies, 0.5), percentile(latencies, 0.95), latencies.size());
}

void commandLine(const QString &model, const QString &folder, const QString &annotations, int photos)
{
    QProcess program;
    const double processorBefore = processorSeconds(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    program.start(QStringLiteral(NORVANTA_PROGRAM),
                  {QStringLiteral("--predict"), model, annotations, folder});
    program.waitForFinished(-1);
    const double seconds = timer.elapsed() / 1000.0;
    const double processor = processorSeconds(RUSAGE_CHILDREN) - processorBefore;
    std::printf("--predict: %d photos in %.1f s: %.1f images/s, %.1f processor seconds (status %d)\n",
                photos, seconds, photos / seconds, processor, program.exitCode());
}

qint64 residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

void million(const QString &model, const QString &folder, int count)
{
    Bench::makeLinkedImages(folder, count);
    const QFileInfo first(folder + QStringLiteral("/") + Bench::imageName(0));
    QStringList names;
    for (int i = 0; i < count; ++i)
        names.append(Bench::imageName(i));
    const qint64 before = residentKilobytes();
    Suggestions suggestions(labelCatalogue(),
                            std::make_unique<MemoryStore>(count, first.size(),
                                                          first.lastModified().toMSecsSinceEpoch()));
    QElapsedTimer opening;
    opening.start();
    suggestions.setListed(folder, names);
    bool stored = false;
    QObject::connect(&suggestions, &Suggestions::modelChanged, &suggestions, [&] { stored = true; });
    suggestions.loadModel(model, nullptr);
    stored = false;
    while (!stored)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf("a million: %lld stored predictions answered for after %.2f s, %lld current, "
                "%.0f MB more memory\n",
                qlonglong(count), opening.elapsed() / 1000.0, qlonglong(suggestions.predictedCount()),
                (residentKilobytes() - before) / 1024.0);

    QRandomGenerator random(5);
    std::vector<double> steps;
    for (int i = 0; i < 1000; ++i) {
        const qsizetype position = random.bounded(count);
        QElapsedTimer step;
        step.start();
        suggestions.setShown(position);
        const QString &name = names.at(position);
        const bool answered = suggestions.probabilities(name) && suggestions.certainty(name);
        const QStringList suggested = suggestions.suggested(name);
        steps.push_back(step.nsecsElapsed() / 1e6);
        Q_UNUSED(answered);
        Q_UNUSED(suggested);
    }
    std::vector<bool> marked(static_cast<std::size_t>(count), false);
    for (int i = 0; i < count; ++i)
        marked[std::size_t(i)] = random.bounded(2) == 0;
    const auto unmarked = [&](qsizetype position) { return !marked[std::size_t(position)]; };
    QElapsedTimer least;
    least.start();
    suggestions.leastSure(unmarked);
    const double firstLeast = least.nsecsElapsed() / 1e6;
    const double nextLeast = Bench::medianMilliseconds(21, [&] { suggestions.leastSure(unmarked); });
    std::printf("a million: a step's questions median %.3f ms, 95th percentile %.3f ms; least sure "
                "unmarked %.1f ms the first time (ordering), then %.3f ms\n",
                percentile(steps, 0.5), percentile(steps, 0.95), firstLeast, nextLeast);
}

} // namespace

int main(int argc, char **argv)
{
    Bench::Application application(argc, argv);
    const int photos = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;
    const int count = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 1000000;
    QTemporaryDir dir;
    const QString model = makeModel(dir.filePath(QStringLiteral("mobilenetv2")));
    const QString folder = dir.filePath(QStringLiteral("photos"));
    writePhotos(folder, photos);
    std::printf("%d photos of 1920 x 1080 written; model %s\n", photos, qPrintable(model));
    std::fflush(stdout);
    windowSetting(model, folder);
    std::fflush(stdout);
    commandLine(model, folder, dir.filePath(QStringLiteral("labels.csv")), photos);
    std::fflush(stdout);
    million(model, dir.filePath(QStringLiteral("million")), count);
    return 0;
}
