// Times what the dataset's own labels teach: the background training of all
// 19 labels on 100,000 marked images with 1,280-wide embeddings (one thread,
// as the program runs it), and the per-label table with the likely mistakes
// at a million marked rows.
//
// Run by hand from the build folder: ./bench/bench_learning [images [rows]]
// (about a minute, 1.5 GB of memory).
#include "backgroundtraining.h"
#include "labelquality.h"
#include "timing.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <ctime>
#include <cstdlib>
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rows = argc > 2 ? std::atoi(argv[2]) : 1000000;
    const int width = 1280;
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
    return 0;
}
