#include "labellearning.h"

#include "labelscores.h"

#include <linear.h>

#include <algorithm>
#include <memory>
#include <random>

// Training works on a standardised copy of the embeddings, in liblinear's own
// rows: an embedding wider than reducedWidth is first projected onto
// reducedWidth fixed random directions, which keeps its distances close
// enough for a linear classifier and makes each of the 19 × 6 trainings
// cheap. Projection and standardisation are folded into the weights kept,
// so a trained label applies to the embedding as it is stored.

namespace {

constexpr int reducedWidth = 128;
// L2-regularised logistic regression (primal, trust-region Newton), which
// can start from a solution: the training on all images starts from one on
// a sample of them, each fold from the weights of all, and needs a step or
// two. The tolerance is liblinear's relative
// gradient norm; tighter changes no suggestion at these sizes.
constexpr double regularisation = 1.0;
constexpr double tolerance = 0.1;

void quiet(const char *) {}

struct TrainingRows
{
    int width = 0; // of a row, without the bias
    std::vector<float> directions; // embedding width × width, empty: none
    std::vector<float> mean, deviation;
    std::vector<feature_node> nodes;
    std::vector<feature_node *> rows;
    std::vector<qsizetype> images; // which marked image each row is
};

std::vector<float> projected(const MarkedImages &images, qsizetype image, const TrainingRows &t)
{
    const float *x = images.embeddings.data() + image * images.width;
    if (t.directions.empty())
        return std::vector<float>(x, x + images.width);
    float z[reducedWidth] = {};
    for (qsizetype j = 0; j < images.width; ++j) {
        const float *column = t.directions.data() + j * reducedWidth;
        for (int r = 0; r < reducedWidth; ++r)
            z[r] += x[j] * column[r];
    }
    return std::vector<float>(z, z + reducedWidth);
}

void standardise(TrainingRows &t, const std::vector<float> &values)
{
    const qsizetype n = qsizetype(t.images.size());
    std::vector<double> sum(t.width, 0.0), squares(t.width, 0.0);
    for (qsizetype i = 0; i < n; ++i)
        for (int r = 0; r < t.width; ++r) {
            const double v = values[i * t.width + r];
            sum[r] += v;
            squares[r] += v * v;
        }
    t.mean.assign(t.width, 0.0f);
    t.deviation.assign(t.width, 1.0f);
    for (int r = 0; r < t.width; ++r) {
        const double mean = sum[r] / n;
        const double variance = squares[r] / n - mean * mean;
        t.mean[r] = float(mean);
        if (variance > 1e-12)
            t.deviation[r] = float(std::sqrt(variance));
    }
}

TrainingRows trainingRows(const MarkedImages &images)
{
    TrainingRows t;
    for (qsizetype i = 0; i < images.count(); ++i)
        if (images.hasEmbedding(i))
            t.images.push_back(i);
    if (t.images.empty())
        return t;
    t.width = int(std::min<qsizetype>(images.width, reducedWidth));
    if (images.width > reducedWidth) {
        std::mt19937 random(20240607u);
        std::normal_distribution<float> normal(0.0f, 1.0f);
        t.directions.resize(images.width * reducedWidth);
        for (float &d : t.directions)
            d = normal(random);
    }
    const qsizetype n = qsizetype(t.images.size());
    std::vector<float> values(n * t.width);
    for (qsizetype i = 0; i < n; ++i) {
        const std::vector<float> z = projected(images, t.images[i], t);
        std::copy(z.begin(), z.end(), values.begin() + i * t.width);
    }
    standardise(t, values);
    const int stride = t.width + 2; // the bias, then the end marker
    t.nodes.resize(n * stride);
    t.rows.resize(n);
    for (qsizetype i = 0; i < n; ++i) {
        feature_node *row = t.nodes.data() + i * stride;
        t.rows[i] = row;
        for (int r = 0; r < t.width; ++r)
            row[r] = {r + 1, (values[i * t.width + r] - t.mean[r]) / t.deviation[r]};
        row[t.width] = {t.width + 1, 1.0};
        row[t.width + 1] = {-1, 0.0};
    }
    return t;
}

// Positives and negatives dealt out separately, so that every fold's
// training part has both.
std::vector<int> stratifiedFolds(const std::vector<double> &y, int label)
{
    std::mt19937 random(7919u + unsigned(label));
    std::vector<qsizetype> positive, negative;
    for (qsizetype i = 0; i < qsizetype(y.size()); ++i)
        (y[i] > 0 ? positive : negative).push_back(i);
    std::vector<int> fold(y.size());
    for (std::vector<qsizetype> *group : {&positive, &negative}) {
        std::shuffle(group->begin(), group->end(), random);
        for (qsizetype k = 0; k < qsizetype(group->size()); ++k)
            fold[(*group)[k]] = int(k % LabelLearning::folds);
    }
    return fold;
}

// A cheap start for the training on all images: at most startingEach of
// each flag, evenly spread. From its weights the full training needs a step
// or two, where from zero it needs many over every row.
std::vector<qsizetype> startingRows(const std::vector<double> &y)
{
    constexpr qsizetype startingEach = 5000;
    qsizetype positives = 0;
    for (const double v : y)
        positives += v > 0;
    const qsizetype counts[2] = {qsizetype(y.size()) - positives, positives};
    qsizetype seen[2] = {0, 0};
    std::vector<qsizetype> rows;
    for (size_t k = 0; k < y.size(); ++k) {
        const int flag = y[k] > 0;
        const qsizetype every = (counts[flag] + startingEach - 1) / startingEach;
        if (seen[flag]++ % every == 0)
            rows.push_back(qsizetype(k));
    }
    return rows;
}

struct ModelDeleter
{
    void operator()(model *m) const { free_and_destroy_model(&m); }
};
using Model = std::unique_ptr<model, ModelDeleter>;

Model trainOn(TrainingRows &t, const std::vector<double> &y, const std::vector<qsizetype> &rows,
              double *start)
{
    std::vector<double> ys(rows.size());
    std::vector<feature_node *> xs(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        ys[k] = y[rows[k]];
        xs[k] = t.rows[rows[k]];
    }
    problem p{int(rows.size()), t.width + 1, ys.data(), xs.data(), 1.0};
    parameter settings{};
    settings.solver_type = L2R_LR;
    settings.eps = tolerance;
    settings.C = regularisation;
    settings.init_sol = start;
    return Model(train(&p, &settings));
}

float positiveProbability(const model *m, const feature_node *row)
{
    double estimates[2] = {0.0, 0.0};
    predict_probability(m, row, estimates);
    return float(m->label[0] == 1 ? estimates[0] : estimates[1]);
}

// liblinear's weights on the standardised rows, back in the embedding's own
// coordinates.
TrainedLabel foldedWeights(const model *m, const TrainingRows &t, qsizetype width)
{
    TrainedLabel trained;
    const double sign = m->label[0] == 1 ? 1.0 : -1.0;
    std::vector<double> w(t.width);
    double bias = sign * m->w[t.width];
    for (int r = 0; r < t.width; ++r) {
        w[r] = sign * m->w[r] / t.deviation[r];
        bias -= w[r] * t.mean[r];
    }
    trained.bias = float(bias);
    trained.weights.assign(width, 0.0f);
    for (qsizetype j = 0; j < width; ++j) {
        if (t.directions.empty()) {
            trained.weights[j] = float(w[j]);
            continue;
        }
        double sum = 0.0;
        const float *column = t.directions.data() + j * reducedWidth;
        for (int r = 0; r < reducedWidth; ++r)
            sum += column[r] * w[r];
        trained.weights[j] = float(sum);
    }
    return trained;
}

} // namespace

namespace {

// The label's trained weights and out-of-fold probabilities; nothing when
// the marked images with an embedding do not have enough of each flag.
std::optional<TrainedLabel> trainLabel(const MarkedImages &images, TrainingRows &t, int label,
                                       float *outOfFold, const std::atomic<bool> &cancelled)
{
    std::vector<double> y(t.images.size());
    qsizetype positives = 0;
    for (size_t k = 0; k < y.size(); ++k) {
        const bool saved = images.saved(t.images[k], label);
        y[k] = saved ? 1.0 : -1.0;
        positives += saved;
    }
    if (positives < LabelLearning::minimumEach
        || qsizetype(y.size()) - positives < LabelLearning::minimumEach)
        return std::nullopt;
    std::vector<qsizetype> all(y.size());
    for (size_t k = 0; k < all.size(); ++k)
        all[k] = qsizetype(k);
    const Model first = trainOn(t, y, startingRows(y), nullptr);
    const Model whole = trainOn(t, y, all, first->w);
    const std::vector<int> fold = stratifiedFolds(y, label);
    for (int f = 0; f < LabelLearning::folds; ++f) {
        if (cancelled.load())
            return std::nullopt;
        std::vector<qsizetype> rest;
        for (size_t k = 0; k < y.size(); ++k)
            if (fold[k] != f)
                rest.push_back(qsizetype(k));
        const Model part = trainOn(t, y, rest, whole->w);
        for (size_t k = 0; k < y.size(); ++k)
            if (fold[k] == f)
                outOfFold[t.images[k] * images.labelCount] = positiveProbability(part.get(), t.rows[k]);
    }
    return foldedWeights(whole.get(), t, images.width);
}

// Judges a trained label against the model on the images it was trained
// on, both at the label's threshold.
void judge(TrainedLabel &trained, const MarkedImages &images, const TrainingRows &t,
           const float *outOfFold, float threshold)
{
    ScoreCounts mine, model;
    bool modelGives = false;
    for (const qsizetype image : t.images) {
        const bool saved = images.saved(image, trained.label);
        mine.add(outOfFold[image * images.labelCount] >= threshold, saved);
        const float p = images.model[image * images.labelCount + trained.label];
        if (std::isnan(p))
            continue;
        modelGives = true;
        model.add(p >= threshold, saved);
    }
    trained.trainedF1 = mine.fScore(1.0);
    trained.modelF1 = modelGives ? model.fScore(1.0) : NAN;
    trained.replacesModel = !modelGives || trained.trainedF1 > trained.modelF1;
}

} // namespace

float LabelLearning::thresholdOf(const std::vector<float> &thresholds, int label)
{
    const float t = label < int(thresholds.size()) ? thresholds[label] : NAN;
    return std::isnan(t) ? 0.5f : t;
}

std::optional<LearningResult> LabelLearning::train(const MarkedImages &images,
                                                   const std::vector<float> &thresholds,
                                                   const std::atomic<bool> &cancelled)
{
    set_print_string_function(quiet);
    LearningResult result;
    result.trained.width = images.width;
    result.crossValidated.assign(images.count() * images.labelCount, NAN);
    TrainingRows rows = trainingRows(images);
    for (int label = 0; label < images.labelCount && !rows.images.empty(); ++label) {
        float *outOfFold = result.crossValidated.data() + label;
        std::optional<TrainedLabel> trained = trainLabel(images, rows, label, outOfFold, cancelled);
        if (cancelled.load())
            return std::nullopt;
        if (!trained)
            continue;
        trained->label = label;
        judge(*trained, images, rows, outOfFold, thresholdOf(thresholds, label));
        result.trained.labels.push_back(std::move(*trained));
    }
    return result;
}
