#include "suggestions.h"

#include "backgroundtraining.h"
#include "classifier.h"
#include "predictionlisting.h"
#include "predictionpass.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr float noValue = std::numeric_limits<float>::quiet_NaN();
constexpr float steps = 65535.f;

} // namespace

// The answers are kept by listed position in flat arrays, so that a million
// images cost tens of megabytes and every answer a few array reads: per
// position, each of the model's probabilities in 16 bits, the certainty
// (NaN: no current prediction) and the suggested labels as bits of the
// catalogue. The least sure order is a sorted array of (certainty, position)
// that new predictions are merged into when it is next asked for; an entry
// whose certainty is no longer the position's is passed over.
struct Suggestions::Private
{
    Suggestions *q = nullptr;
    QStringList catalogue;
    // Its network is the pass's alone: this thread only reads the description.
    std::optional<Classifier> classifier;
    const ModelDescription *description = nullptr;
    std::shared_ptr<const PredictionListing> listing = std::make_shared<PredictionListing>();
    quint64 generation = 0;

    std::vector<quint16> probabilities;
    std::vector<float> certainty;
    std::vector<quint32> suggested;
    // Per position its stored embedding, for the trained labels.
    std::vector<QByteArray> features;
    qsizetype predicted = 0;
    qsizetype undecodable = 0;
    mutable std::vector<std::pair<float, qint32>> sureOrder;
    mutable std::vector<std::pair<float, qint32>> fresh;

    BackgroundTraining training;
    std::shared_ptr<const MarkedImages> trainingFrom;
    std::shared_ptr<const LearningResult> learnt;
    std::shared_ptr<const MarkedImages> learntFrom;
    QList<float> adopted;
    Assessment assessment;
    std::vector<qint32> assessedPositions;
    // By listed position: its place among the doubtful, -1 for none.
    std::vector<qint32> doubtfulRanks;

    // Last: it goes first, while what it hands over still has a place.
    std::unique_ptr<PredictionPass> pass;

    qsizetype labelCount() const { return description ? description->labels.size() : 0; }
    qsizetype current(const QString &fileName) const
    {
        const qsizetype position = listing->find(fileName);
        return position >= 0 && !std::isnan(certainty[std::size_t(position)]) ? position : -1;
    }

    void restart();
    void take(PassArrival arrival);
    // `ordered`: the pass hands over the least sure order of this one.
    void keep(qint32 position, quint32 bits, float leastDistance, bool ordered);
    void answer(qint32 position, const float *values, const QByteArray &features,
                bool ordered = false);
    void forget(qint32 position);
    // The threshold of `label`: the model's, 0.5 for a trained label the
    // model does not give, NaN otherwise.
    float threshold(int label) const;
    // The answer's probabilities of a position with a prediction, one per
    // catalogue label (NaN: none); the labels whose probability is the
    // trained one, as bits.
    quint32 valuesAt(qsizetype position, float *values) const;
    // Suggested labels and certainty of a position, from valuesAt().
    void judge(qint32 position, bool ordered);
    void takeTrained(std::shared_ptr<const LearningResult> result);
    void judgeAll();
    // The weights a former training stored for this model, until one of
    // this program's own finishes.
    void takeStoredWeights(const QByteArray &bytes);
    // The marked listed images with a current prediction; `positions` gets
    // each one's listed position.
    std::shared_ptr<MarkedImages> marked(const std::vector<AnnotationStore::RowFacts> &facts,
                                         std::vector<qint32> *positions) const;
    // The learnt result with its out-of-fold probabilities in the rows of
    // `images`.
    LearningResult alignedTo(const MarkedImages &images, const std::vector<qint32> &positions) const;
    std::vector<float> thresholdList() const;
};

std::vector<float> Suggestions::Private::thresholdList() const
{
    std::vector<float> limits(std::size_t(catalogue.size()), noValue);
    for (int label = 0; description && label < int(limits.size()); ++label)
        limits[std::size_t(label)] = std::isnan(adopted.value(label, noValue))
            ? description->thresholds.at(label)
            : adopted.at(label);
    return limits;
}

float Suggestions::Private::threshold(int label) const
{
    const float adoptedOne = adopted.value(label, noValue);
    const float own = std::isnan(adoptedOne) ? description->thresholds.at(label) : adoptedOne;
    if (!std::isnan(own))
        return own;
    const TrainedLabel *trained = learnt ? learnt->trained.find(label) : nullptr;
    return trained && trained->replacesModel ? 0.5f : noValue;
}

quint32 Suggestions::Private::valuesAt(qsizetype position, float *values) const
{
    std::fill(values, values + catalogue.size(), noValue);
    for (qsizetype i = 0; i < labelCount(); ++i)
        values[description->labels.at(i)] =
            float(probabilities[std::size_t(position * labelCount() + i)]) / steps;
    if (!learnt || features[std::size_t(position)].isEmpty())
        return 0;
    const QList<float> embedding = ModelFeatures::unpack(features[std::size_t(position)]);
    if (embedding.size() != learnt->trained.width)
        return 0;
    return learnt->trained.improve(values, embedding.constData());
}

// The answer for `position`: its suggested labels and how sure the model
// is; one that came in the least sure order handed over is not added to it.
void Suggestions::Private::keep(qint32 position, quint32 bits, float leastDistance, bool ordered)
{
    if (std::isnan(certainty[std::size_t(position)]))
        ++predicted;
    certainty[std::size_t(position)] = leastDistance;
    suggested[std::size_t(position)] = bits;
    if (!ordered)
        fresh.emplace_back(leastDistance, position);
}

void Suggestions::Private::judge(qint32 position, bool ordered)
{
    std::vector<float> values(std::size_t(catalogue.size()));
    valuesAt(position, values.data());
    quint32 bits = 0;
    float leastDistance = std::numeric_limits<float>::infinity();
    for (int label = 0; label < int(values.size()); ++label) {
        const float limit = threshold(label);
        if (std::isnan(values[label]) || std::isnan(limit))
            continue;
        if (values[label] >= limit)
            bits |= 1u << label;
        leastDistance = std::min(leastDistance, std::abs(values[label] - limit));
    }
    keep(position, bits, leastDistance, ordered);
}

// Every answer is made anew with the trained labels; the least sure order
// is made anew from them.
void Suggestions::Private::takeTrained(std::shared_ptr<const LearningResult> result)
{
    learnt = std::move(result);
    learntFrom = std::move(trainingFrom);
    pass->storeWeights(generation, learnt->trained.toBytes());
    judgeAll();
}

void Suggestions::Private::takeStoredWeights(const QByteArray &bytes)
{
    std::optional<TrainedLabels> trained = TrainedLabels::fromBytes(bytes);
    if (bytes.isEmpty() || learnt || !trained)
        return;
    auto result = std::make_shared<LearningResult>();
    result->trained = std::move(*trained);
    learnt = std::move(result);
    learntFrom.reset();
    judgeAll();
}

void Suggestions::Private::judgeAll()
{
    sureOrder.clear();
    fresh.clear();
    for (qint32 position = 0; position < qint32(certainty.size()); ++position) {
        if (std::isnan(certainty[std::size_t(position)]))
            continue;
        certainty[std::size_t(position)] = noValue;
        --predicted;
        judge(position, false);
    }
    emit q->modelChanged();
}

void Suggestions::Private::restart()
{
    description = classifier ? &classifier->description() : nullptr;
    ++generation;
    const std::size_t count = std::size_t(listing->count());
    probabilities.assign(description ? count * std::size_t(labelCount()) : 0, 0);
    certainty.assign(count, noValue);
    suggested.assign(count, 0);
    features.assign(count, QByteArray());
    training.cancel();
    trainingFrom.reset();
    learnt.reset();
    learntFrom.reset();
    assessment = Assessment();
    assessedPositions.clear();
    doubtfulRanks.clear();
    predicted = 0;
    undecodable = 0;
    sureOrder.clear();
    fresh.clear();
    pass->restart(generation, classifier, listing);
}

void Suggestions::Private::answer(qint32 position, const float *values,
                                  const QByteArray &embedding, bool ordered)
{
    for (qsizetype i = 0; i < labelCount(); ++i) {
        const int label = description->labels.at(i);
        const float p = std::isfinite(values[label]) ? std::clamp(values[label], 0.f, 1.f) : 0.f;
        probabilities[std::size_t(position * labelCount() + i)] = quint16(std::lround(p * steps));
    }
    features[std::size_t(position)] = embedding;
    if (learnt || !adopted.isEmpty()) {
        // The order handed over is the model's own: this one goes by itself.
        judge(position, false);
        return;
    }
    // The model's own answer, exactly as the least sure order handed over
    // has it.
    quint32 bits = 0;
    for (const int label : description->labels) {
        const float p = std::isfinite(values[label]) ? std::clamp(values[label], 0.f, 1.f) : 0.f;
        if (p >= description->thresholds.at(label))
            bits |= 1u << label;
    }
    const float leastDistance = description->certainty(values);
    keep(position, bits, leastDistance, ordered);
}

void Suggestions::Private::forget(qint32 position)
{
    if (std::isnan(certainty[std::size_t(position)]))
        return;
    certainty[std::size_t(position)] = noValue;
    suggested[std::size_t(position)] = 0;
    --predicted;
}

void Suggestions::Private::take(PassArrival arrival)
{
    if (arrival.generation != generation || !description)
        return;
    if (arrival.kind == PassArrival::Refused) {
        q->unloadModel();
        emit q->modelRefused(arrival.refusal);
        return;
    }
    const std::size_t width = std::size_t(catalogue.size());
    for (std::size_t i = 0; i < arrival.positions.size(); ++i)
        answer(arrival.positions[i], arrival.values.data() + i * width,
               arrival.features.size() > i ? arrival.features[i] : QByteArray(),
               arrival.kind == PassArrival::Stored);
    if (arrival.kind == PassArrival::StoredDone) {
        // Made before anything was predicted: what is fresh since is merged.
        sureOrder = std::move(arrival.order);
        takeStoredWeights(arrival.weights);
    }
    for (const qint32 position : arrival.forgotten)
        forget(position);
    undecodable += arrival.undecodable;
    if (arrival.kind == PassArrival::StoredDone)
        emit q->modelChanged();
    if (arrival.kind == PassArrival::Predicted) {
        QStringList names;
        for (const qint32 position : arrival.positions)
            names.append(listing->names().at(position));
        for (const qint32 position : arrival.forgotten)
            names.append(listing->names().at(position));
        if (!names.isEmpty())
            emit q->predicted(names);
    }
    if (arrival.kind != PassArrival::Stored)
        emit q->progress(predicted, listing->count());
}

Suggestions::Suggestions(const QStringList &catalogue, std::unique_ptr<PredictionStore> store,
                         QObject *parent)
    : QObject(parent), d(new Private)
{
    d->q = this;
    d->catalogue = catalogue;
    // Called on the pass's thread: the arrival is taken on this object's.
    d->pass = std::make_unique<PredictionPass>(std::move(store), [this](PassArrival arrival) {
        QMetaObject::invokeMethod(
            this, [this, arrival = std::move(arrival)]() mutable { d->take(std::move(arrival)); },
            Qt::QueuedConnection);
    });
    connect(&d->training, &BackgroundTraining::trained, this,
            [this](std::shared_ptr<const LearningResult> result) { d->takeTrained(std::move(result)); });
}

// The pass ends first, with the picture at hand: nothing it hands over
// afterwards reaches this object.
Suggestions::~Suggestions()
{
    d->pass.reset();
}

bool Suggestions::loadModel(const QString &onnxPath, QString *error)
{
    QString refusal;
    std::optional<Classifier> classifier = Classifier::load(onnxPath, d->catalogue, &refusal);
    if (!classifier) {
        if (error)
            *error = refusal;
        return false;
    }
    d->classifier = std::move(classifier);
    d->adopted.clear();
    d->restart();
    emit modelChanged();
    return true;
}

void Suggestions::unloadModel()
{
    if (!d->classifier)
        return;
    d->classifier.reset();
    d->adopted.clear();
    d->restart();
    emit modelChanged();
}

bool Suggestions::hasModel() const
{
    return d->classifier.has_value();
}

QString Suggestions::modelName() const
{
    return d->description ? d->description->name : QString();
}

QString Suggestions::modelPath() const
{
    return d->classifier ? d->classifier->path() : QString();
}

void Suggestions::setListed(const QString &folder, const QStringList &names)
{
    d->listing = std::make_shared<const PredictionListing>(folder, names);
    d->restart();
}

void Suggestions::setShown(qsizetype position)
{
    d->pass->show(position);
}

QList<float> Suggestions::thresholds() const
{
    QList<float> limits;
    for (int label = 0; d->description && label < d->catalogue.size(); ++label)
        limits.append(d->threshold(label));
    return limits;
}

std::optional<QList<float>> Suggestions::probabilities(const QString &fileName) const
{
    const qsizetype position = d->current(fileName);
    if (position < 0)
        return std::nullopt;
    QList<float> values(d->catalogue.size(), noValue);
    d->valuesAt(position, values.data());
    return values;
}

quint32 Suggestions::trainedLabels(const QString &fileName) const
{
    const qsizetype position = d->current(fileName);
    if (position < 0)
        return 0;
    QList<float> values(d->catalogue.size(), noValue);
    return d->valuesAt(position, values.data());
}

QStringList Suggestions::suggested(const QString &fileName) const
{
    const qsizetype position = d->current(fileName);
    QStringList labels;
    for (qsizetype label = 0; position >= 0 && label < d->catalogue.size(); ++label) {
        if (d->suggested[std::size_t(position)] & (1u << label))
            labels.append(d->catalogue.at(label));
    }
    return labels;
}

std::optional<float> Suggestions::certainty(const QString &fileName) const
{
    const qsizetype position = d->current(fileName);
    if (position < 0)
        return std::nullopt;
    return d->certainty[std::size_t(position)];
}

qsizetype Suggestions::leastSure(const std::function<bool(qsizetype)> &eligible) const
{
    if (!d->fresh.empty()) {
        std::sort(d->fresh.begin(), d->fresh.end());
        const auto middle = d->sureOrder.insert(d->sureOrder.end(), d->fresh.cbegin(), d->fresh.cend());
        std::inplace_merge(d->sureOrder.begin(), middle, d->sureOrder.end());
        d->fresh.clear();
    }
    for (const auto &[certainty, position] : d->sureOrder) {
        if (d->certainty[std::size_t(position)] == certainty && eligible(position))
            return position;
    }
    return -1;
}

qsizetype Suggestions::predictedCount() const
{
    return d->predicted;
}

qsizetype Suggestions::listedCount() const
{
    return d->listing->count();
}

qsizetype Suggestions::undecodableCount() const
{
    return d->undecodable;
}

quint32 Suggestions::suggestedFlagsAt(qsizetype position) const
{
    return position >= 0 && std::size_t(position) < d->suggested.size()
        ? d->suggested[std::size_t(position)]
        : 0;
}

float Suggestions::certaintyAt(qsizetype position) const
{
    return position >= 0 && std::size_t(position) < d->certainty.size()
        ? d->certainty[std::size_t(position)]
        : noValue;
}

// The marked images with a current prediction, as the model and the store
// give them; those without an embedding of the first one's width are left
// out of training, not of the figures.
std::shared_ptr<MarkedImages>
Suggestions::Private::marked(const std::vector<AnnotationStore::RowFacts> &facts,
                             std::vector<qint32> *positions) const
{
    auto images = std::make_shared<MarkedImages>();
    images->labelCount = int(catalogue.size());
    const qsizetype count = std::min(qsizetype(facts.size()), listing->count());
    for (qsizetype position = 0; position < count; ++position) {
        if (!facts[std::size_t(position)].marked || std::isnan(certainty[std::size_t(position)]))
            continue;
        const QList<float> embedding = ModelFeatures::unpack(features[std::size_t(position)]);
        if (images->names.isEmpty())
            images->width = embedding.size();
        images->names.append(listing->names().at(position));
        images->flags.push_back(facts[std::size_t(position)].flags);
        positions->push_back(qint32(position));
        const std::size_t first = images->model.size();
        images->model.resize(first + std::size_t(images->labelCount), noValue);
        for (qsizetype i = 0; i < labelCount(); ++i)
            images->model[first + std::size_t(description->labels.at(i))] =
                float(probabilities[std::size_t(position * labelCount() + i)]) / steps;
        for (qsizetype j = 0; j < images->width; ++j)
            images->embeddings.push_back(embedding.size() == images->width ? embedding.at(j)
                                                                           : noValue);
    }
    return images;
}

LearningResult Suggestions::Private::alignedTo(const MarkedImages &images,
                                               const std::vector<qint32> &positions) const
{
    LearningResult aligned{learnt->trained, {}};
    const std::size_t width = std::size_t(images.labelCount);
    aligned.crossValidated.assign(std::size_t(images.count()) * width, noValue);
    QHash<QString, qsizetype> learntRows;
    for (qsizetype row = 0; learntFrom && row < learntFrom->count(); ++row)
        learntRows.insert(learntFrom->names.at(row), row);
    std::vector<float> values(width);
    for (qsizetype image = 0; image < images.count(); ++image) {
        float *row = aligned.crossValidated.data() + std::size_t(image) * width;
        const auto learntRow = learntRows.constFind(images.names.at(image));
        if (learntRow != learntRows.cend()) {
            const float *from = learnt->crossValidated.data() + std::size_t(*learntRow) * width;
            std::copy(from, from + width, row);
            continue;
        }
        const quint32 replaced = valuesAt(positions[std::size_t(image)], values.data());
        for (std::size_t label = 0; label < width; ++label)
            if (replaced >> label & 1u)
                row[label] = values[label];
    }
    return aligned;
}

// The marked images with a current prediction, as the model and the store
// give them; those without an embedding of the first one's width are left
// out of training, not of the figures.
void Suggestions::retrain(const std::vector<AnnotationStore::RowFacts> &listedFacts)
{
    if (!d->description)
        return;
    std::vector<qint32> positions;
    std::shared_ptr<MarkedImages> images = d->marked(listedFacts, &positions);
    if (images->width == 0)
        return;
    d->trainingFrom = images;
    d->training.start(*images, d->thresholdList());
}

void Suggestions::assess(const std::vector<AnnotationStore::RowFacts> &listedFacts)
{
    d->assessment = Assessment();
    d->assessedPositions.clear();
    d->doubtfulRanks.clear();
    if (!d->description)
        return;
    const std::shared_ptr<MarkedImages> images = d->marked(listedFacts, &d->assessedPositions);
    std::optional<LearningResult> aligned;
    if (d->learnt)
        aligned = d->alignedTo(*images, d->assessedPositions);
    d->assessment =
        LabelQualities::assess(*images, aligned ? &*aligned : nullptr, d->thresholdList());
    d->doubtfulRanks.assign(std::size_t(d->listing->count()), -1);
    for (std::size_t rank = 0; rank < d->assessment.doubtful.size(); ++rank)
        d->doubtfulRanks[std::size_t(
            d->assessedPositions[std::size_t(d->assessment.doubtful[rank].image)])] = qint32(rank);
}

qsizetype Suggestions::doubtfulRankAt(qsizetype position) const
{
    return position >= 0 && std::size_t(position) < d->doubtfulRanks.size()
        ? d->doubtfulRanks[std::size_t(position)]
        : -1;
}

const Assessment &Suggestions::assessment() const
{
    return d->assessment;
}

std::vector<qint32> Suggestions::doubtfulPositions() const
{
    std::vector<qint32> positions;
    for (const DoubtfulImage &image : d->assessment.doubtful)
        positions.push_back(d->assessedPositions[std::size_t(image.image)]);
    return positions;
}

std::vector<DoubtfulLabel> Suggestions::doubtfulLabelsAt(qsizetype position) const
{
    for (const DoubtfulImage &image : d->assessment.doubtful)
        if (d->assessedPositions[std::size_t(image.image)] == position)
            return image.labels;
    return {};
}

void Suggestions::setThresholds(const QList<float> &thresholds)
{
    if (!d->description || thresholds == d->adopted)
        return;
    d->adopted = thresholds;
    d->judgeAll();
    emit thresholdsAdopted(thresholds);
}

bool Suggestions::hasAdoptedThresholds() const
{
    return !d->adopted.isEmpty();
}

bool Suggestions::isTraining() const
{
    return d->training.isRunning();
}

std::shared_ptr<const LearningResult> Suggestions::learnt() const
{
    return d->learnt;
}

std::shared_ptr<const MarkedImages> Suggestions::learntFrom() const
{
    return d->learntFrom;
}
