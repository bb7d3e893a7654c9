// Times what the dataset's own labels teach: the background training of all
// 19 labels on 100,000 marked images with 1,280-wide embeddings (one thread,
// as the program runs it), and the per-label table with the likely mistakes
// at a million marked rows; then, through the suggestions a window asks, a
// million listed images with stored predictions and embeddings: how long the
// window's thread is kept from its events while a training runs and its
// answers are taken in, and what a save costs the dataset window's label
// table and likely mistakes.
//
// Run by hand from the build folder: ./bench/bench_learning [images [rows]]
// (a few minutes, 2.5 GB of memory).
#include "backgroundtraining.h"
#include "labelcatalogue.h"
#include "labelquality.h"
#include "predictionstore.h"
#include "suggestions.h"
#include "annotationformat.h"
#include "timing.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

// Label frequencies from common to rare, as a defect dataset has them.
const double frequencies[19] = {0.35, 0.22, 0.15, 0.11, 0.08, 0.06,  0.045, 0.035, 0.025, 0.02,
                                0.015, 0.012, 0.01, 0.008, 0.007, 0.006, 0.005, 0.004, 0.003};

// Embeddings of a CNN's pooled shape (non-negative, a few strong channels);
// each label is carried by a direction of its own, blurred by noise, so the
// classifiers have something to find.
MarkedImages embedded(int count, int width)
{
    MarkedImages images;
    images.labelCount = 19;
    images.width = width;
    std::mt19937 random(1);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<float> directions(19 * width);
    for (float &d : directions)
        d = normal(random) > 1.5f ? 1.0f : 0.0f;
    images.embeddings.resize(size_t(count) * width);
    images.flags.resize(count);
    images.model.assign(size_t(count) * 19, NAN);
    for (int i = 0; i < count; ++i) {
        images.names << Bench::imageName(i);
        float *x = images.embeddings.data() + size_t(i) * width;
        for (int j = 0; j < width; ++j)
            x[j] = std::max(0.0f, normal(random)) * 0.5f;
        for (int l = 0; l < 19; ++l) {
            if (uniform(random) >= frequencies[l])
                continue;
            images.flags[i] |= 1u << l;
            for (int j = 0; j < width; ++j)
                x[j] += directions[l * width + j] * 0.4f;
        }
        // The model mostly agrees with the people, and a few in a
        // thousand flags are wrong either way.
        for (int l = 0; l < 19; ++l) {
            const bool agrees = (images.flags[i] >> l & 1u) != (uniform(random) < 0.002);
            const double p = 0.5 * uniform(random);
            images.model[size_t(i) * 19 + l] = float(agrees ? 0.5 + p : p);
        }
    }
    return images;
}

// A million marked rows with the model's and the trained probabilities, as
// the window would hold them.
void tableAndDoubtful(int rows)
{
    MarkedImages images = embedded(rows, 0);
    LearningResult learnt;
    learnt.crossValidated = images.model;
    for (int l = 0; l < 19; l += 2) {
        TrainedLabel trained;
        trained.label = l;
        trained.replacesModel = true;
        learnt.trained.labels.push_back(trained);
    }
    const std::vector<float> thresholds(19, 0.5f);
    size_t doubtful = 0;
    const std::clock_t cpuStart = std::clock();
    const double ms = Bench::medianMilliseconds(5, [&] {
        doubtful = LabelQualities::assess(images, &learnt, thresholds).doubtful.size();
    });
    const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC * 1000.0 / 5;
    std::printf("table of 19 labels and %zu likely mistakes at %d rows: %.0f ms, %.0f ms of "
                "processor time (goal 300 ms)\n", doubtful, rows, ms, cpu);
}

// A million stored predictions made on the fly as the suggestions read them:
// the model mostly agrees with the flags, and each label is carried by a
// direction of the 508-value embedding (the most an image keeps).
class MadeStore final : public PredictionStore
{
public:
    MadeStore(const std::vector<quint32> &flags) : flags(flags) {}
    bool open(const QString &, const QByteArray &, QString *) override { return true; }
    QHash<QString, Entry> readAll(QString *) override { return {}; }
    bool write(const QList<Entry> &, QString *) override { return true; }
    bool readEach(const std::function<void(const Entry &)> &take, bool, QString *) override
    {
        std::minstd_rand random(7);
        Entry entry;
        // The stamp of a file that is not there: the listed images need none.
        entry.size = -1;
        entry.modified = 0;
        entry.values.resize(19);
        entry.features = QByteArray(4 + width, Qt::Uninitialized);
        qToLittleEndian(0.01f, entry.features.data());
        for (int i = 0; i < int(flags.size()); ++i) {
            entry.fileName = Bench::imageName(i);
            for (int l = 0; l < 19; ++l) {
                // A flag the model claims, wrong for one in 500.
                const bool claimed = (flags[i] >> l & 1u) != (random() % 500 == 0);
                const float p = float(random() % 1000) / 2000.0f;
                entry.values[l] = claimed ? 0.5f + p : p;
            }
            char *x = entry.features.data() + 4;
            for (int j = 0; j < width; ++j)
                x[j] = char(random() % 40 + ((flags[i] >> (j % 19) & 1u) && j % 7 == 0 ? 60 : 0));
            take(entry);
        }
        return true;
    }
    static constexpr int width = 508;

private:
    const std::vector<quint32> &flags;
};

// The longest the event loop of this thread went without running while
// `work` ran (what a person would feel as the window hanging).
class Stall : public QObject
{
public:
    Stall()
    {
        ticks.setInterval(2);
        connect(&ticks, &QTimer::timeout, this, [this] {
            longest = std::max(longest, since.nsecsElapsed() / 1e6);
            since.start();
        });
    }
    void start() { longest = 0; since.start(); ticks.start(); }
    double stop() { ticks.stop(); return std::max(longest, since.nsecsElapsed() / 1e6); }

private:
    QTimer ticks;
    QElapsedTimer since;
    double longest = 0;
};

QString blindModel(const QString &base)
{
    QJsonArray labels, weights;
    for (const QString &label : AnnotationFormat::catalogue()) {
        labels.append(labelCode(label));
        weights.append(QJsonArray{0, 0, 0});
    }
    const QJsonObject recipe{{"labels", labels}, {"weights", weights}, {"features", true},
                             {"name", "bench"}};
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(MAKE_MODEL), base,
                  QString::fromUtf8(QJsonDocument(recipe).toJson(QJsonDocument::Compact))});
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        qFatal("no model: %s", python.readAllStandardError().constData());
    return base + QStringLiteral(".onnx");
}

void waitFor(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

// The suggestions of `rows` listed images, `trainedOn` of them marked when
// 重新训练 is pressed and every one marked when the table is made.
void windowSteps(int rows, int trainedOn)
{
    std::vector<quint32> flags(std::size_t(rows), 0);
    std::mt19937 random(3);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (quint32 &f : flags)
        for (int l = 0; l < 19; ++l)
            f |= uniform(random) < frequencies[l] ? 1u << l : 0u;
    QStringList names;
    for (int i = 0; i < rows; ++i)
        names << Bench::imageName(i);
    QTemporaryDir dir;
    Suggestions suggestions(AnnotationFormat::catalogue(), std::make_unique<MadeStore>(flags));
    suggestions.setListed(dir.filePath(QStringLiteral("none")), names);
    QString error;
    if (!suggestions.loadModel(blindModel(dir.filePath(QStringLiteral("bench"))), &error))
        qFatal("%s", qPrintable(error));
    waitFor([&] { return suggestions.predictedCount() == rows; });

    std::vector<AnnotationStore::RowFacts> facts(static_cast<std::size_t>(rows));
    for (int i = 0; i < rows; ++i)
        facts[i] = {true, i < trainedOn, flags[i]};
    Stall stall;
    bool trained = false;
    QObject::connect(&suggestions, &Suggestions::modelChanged, &stall,
                     [&] { trained = !suggestions.isTraining(); });
    QElapsedTimer timer;
    timer.start();
    stall.start();
    trained = false;
    suggestions.retrain(facts);
    const double started = timer.nsecsElapsed() / 1e6;
    waitFor([&] { return trained; });
    const double longest = stall.stop();
    std::printf("training on %d of %d listed images, %d-value embeddings: %.1f s until every "
                "answer is the better one; the window's thread waited %.0f ms to start it and "
                "%.0f ms at most at once\n",
                trainedOn, rows, MadeStore::width, timer.nsecsElapsed() / 1e9, started, longest);

    for (auto &f : facts)
        f.marked = true;
    std::clock_t cpu = std::clock();
    double ms = Bench::medianMilliseconds(1, [&] { suggestions.assess(facts); });
    std::printf("label table and %zu likely mistakes of %d marked rows, made anew: %.0f ms, "
                "%.0f ms of processor time\n", suggestions.assessment().doubtful.size(), rows, ms,
                double(std::clock() - cpu) / CLOCKS_PER_SEC * 1000.0);
    int saved = 0;
    cpu = std::clock();
    ms = Bench::medianMilliseconds(11, [&] {
        facts[std::size_t(saved++ * 7919 % rows)].flags ^= 1u;
        suggestions.assess(facts);
    });
    std::printf("a save's step for the label table and the likely mistakes: %.1f ms, %.1f ms of "
                "processor time\n", ms, double(std::clock() - cpu) / CLOCKS_PER_SEC * 1000.0 / 11);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rows = argc > 2 ? std::atoi(argv[2]) : 1000000;
    const int width = 1280;
    if (argc > 3 && std::strcmp(argv[3], "window") == 0) {
        windowSteps(rows, count);
        return 0;
    }
    MarkedImages images = embedded(count, width);
    BackgroundTraining training;
    QElapsedTimer timer;
    std::clock_t cpuStart = 0;
    QObject::connect(&training, &BackgroundTraining::trained, &app,
                     [&, count](std::shared_ptr<const LearningResult> result) {
                         const double s = timer.nsecsElapsed() / 1e9;
                         const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
                         int better = 0;
                         for (const TrainedLabel &t : result->trained.labels)
                             better += t.replacesModel;
                         std::printf("training %zu labels (%d better than the model) on %d x %d: "
                                     "%.1f s in the background, %.1f s of processor time (goal 60 s)\n",
                                     result->trained.labels.size(), better, count, width, s, cpu);
                         std::printf("trained weights: %lld bytes\n",
                                     qlonglong(result->trained.toBytes().size()));
                         app.quit();
                     });
    timer.start();
    cpuStart = std::clock();
    training.start(std::move(images), std::vector<float>(19, 0.5f));
    app.exec();
    tableAndDoubtful(rows);
    windowSteps(rows, 20000);
    return 0;
}
