#include "suggestions.h"

#include "backgroundtraining.h"
#include "classifier.h"
#include "predictionlisting.h"
#include "predictionpass.h"
#include "rejudging.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr float noValue = std::numeric_limits<float>::quiet_NaN();
constexpr float steps = JudgingRules::steps;

// What a training learns from, as the answers stood when it was asked for:
// copies, so that the marked images are gathered on the training's thread.
struct TrainingSource
{
    std::shared_ptr<const PredictionListing> listing;
    int catalogueSize = 0;
    std::vector<int> modelLabels;
    SharedArray<quint16> probabilities;
    SharedArray<QByteArray> features;
    std::vector<float> certainty;
    std::vector<AnnotationStore::RowFacts> facts;
    // Made by gather(), read once the training is delivered.
    std::shared_ptr<const MarkedImages> images;
    std::vector<qint32> positions;

    std::shared_ptr<const MarkedImages> gather();
};

// The marked images with a current prediction, as the model and the store
// give them; those without an embedding of the first one's width are left
// out of training, not of the figures.
std::shared_ptr<const MarkedImages> TrainingSource::gather()
{
    auto made = std::make_shared<MarkedImages>();
    made->labelCount = catalogueSize;
    const std::size_t labels = modelLabels.size();
    const std::size_t count = std::min(facts.size(), std::size_t(listing->count()));
    for (std::size_t position = 0; position < count; ++position) {
        if (!facts[position].marked || std::isnan(certainty[position]))
            continue;
        const QList<float> embedding = ModelFeatures::unpack(features.read()[position]);
        if (made->names.isEmpty())
            made->width = embedding.size();
        made->names.append(listing->names().at(qsizetype(position)));
        made->flags.push_back(facts[position].flags);
        positions.push_back(qint32(position));
        const std::size_t first = made->model.size();
        made->model.resize(first + std::size_t(catalogueSize), noValue);
        for (std::size_t i = 0; i < labels; ++i)
            made->model[first + std::size_t(modelLabels[i])] =
                float(probabilities.read()[position * labels + i]) / steps;
        for (qsizetype j = 0; j < made->width; ++j)
            made->embeddings.push_back(embedding.size() == made->width ? embedding.at(j) : noValue);
    }
    // The arrays' handles are let go with the training's thread object.
    certainty = {};
    facts = {};
    images = made;
    return images;
}

} // namespace

// The answers are kept by listed position in flat arrays, so that a million
// images cost tens of megabytes and every answer a few array reads: per
// position, each of the model's probabilities in 16 bits, the certainty
// (NaN: no current prediction) and the suggested labels as bits of the
// catalogue. The least sure order is a sorted array of (certainty, position)
// that new predictions are merged into when it is next asked for; an entry
// whose certainty is no longer the position's is passed over.
//
// Once a training (or stored weights) is taken, each position also keeps the
// trained probabilities of the labels whose trained one is the better: they
// are worked out for every image on a thread of its own (BackgroundJudging)
// and swapped in whole, with the answers made from them; until then every
// answer stays what it was. What arrives meanwhile is answered as before and
// judged again at the swap.
//
// The label table and the likely mistakes are a QualityTally of the marked
// positions with a prediction: assess() adds and takes away only the
// positions whose facts changed since the last one, and a position whose
// prediction changes is taken away first, so the tally stays exact; a new
// training or new thresholds count everything anew.
struct Suggestions::Private
{
    Suggestions *q = nullptr;
    QStringList catalogue;
    // Its network is the pass's alone: this thread only reads the description.
    std::optional<Classifier> classifier;
    const ModelDescription *description = nullptr;
    std::shared_ptr<const PredictionListing> listing = std::make_shared<PredictionListing>();
    quint64 generation = 0;

    SharedArray<quint16> probabilities;
    std::vector<float> certainty;
    std::vector<quint32> suggested;
    // Per position its stored embedding, for the trained labels.
    SharedArray<QByteArray> features;
    // The rules the answers above were made by, and per position the
    // trained values of rules.replaced (position × replaced.size()).
    JudgingRules rules;
    std::vector<float> trainedValues;
    // Per position its row in learnt->crossValidated; -1 for an image the
    // training did not learn from (and for all of stored weights).
    std::vector<qint32> learntRows;
    qsizetype predicted = 0;
    qsizetype undecodable = 0;
    mutable std::vector<std::pair<float, qint32>> sureOrder;
    mutable std::vector<std::pair<float, qint32>> fresh;

    BackgroundTraining training;
    // What the training asked for learns from, and what the running one.
    std::shared_ptr<TrainingSource> trainingFrom;
    std::shared_ptr<TrainingSource> runningFrom;
    std::vector<float> trainingThresholds;
    // The store is asked whether this program may train now (on a team's
    // server one trains at a time; the others take its stored weights).
    bool askingTurn = false;
    BackgroundJudging judging;
    // What the answers being judged will be made from: the learnt result,
    // the marked images and their positions.
    std::shared_ptr<const LearningResult> judgingLearnt;
    std::shared_ptr<const MarkedImages> judgingFrom;
    std::vector<qint32> judgingPositions;
    // Positions answered or forgotten since the judging started.
    std::vector<qint32> touched;
    std::shared_ptr<const LearningResult> learnt;
    std::shared_ptr<const MarkedImages> learntFrom;
    QList<float> adopted;
    Assessment assessment;
    // By listed position: its place among the doubtful, -1 for none.
    std::vector<qint32> doubtfulRanks;
    QualityTally tally;
    bool tallyStale = true;
    // Per position: in the tally, and with which flags.
    std::vector<char> tallied;
    std::vector<quint32> talliedFlags;

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
    // The threshold of `label` with `trained` (null: none): the model's,
    // 0.5 for a trained label the model does not give, NaN otherwise.
    float threshold(int label, const LearningResult *trained) const;
    JudgingRules rulesFor(std::shared_ptr<const LearningResult> trained) const;
    // The answer's probabilities of a position with a prediction, one per
    // catalogue label (NaN: none); the labels whose probability is the
    // trained one, as bits.
    quint32 valuesAt(qsizetype position, float *values) const;
    // Suggested labels and certainty of a position, from valuesAt().
    void judge(qint32 position, bool ordered);
    void takeTrained(std::shared_ptr<const LearningResult> result);
    // Judges every position anew in the background by `trained`, which
    // `from` (at `positions`) taught; the answers stay until it is done.
    void judgeAll(std::shared_ptr<const LearningResult> trained,
                  std::shared_ptr<const MarkedImages> from, std::vector<qint32> positions);
    // judgeAll() by what is learnt, or is being taken in.
    void judgeAllAgain();
    void takeJudged(std::shared_ptr<Rejudged> result);
    // The probabilities the tally counts for `position`: a label the
    // training learnt it with, its cross-validated one.
    void tallyRow(qsizetype position, float *row) const;
    void untally(qsizetype position);
    void updateTally(const std::vector<AnnotationStore::RowFacts> &facts);
    // The weights a former training stored for this model, until one of
    // this program's own finishes.
    void takeStoredWeights(const QByteArray &bytes);
    // Weights another program stored since: they take the place of those
    // there are, unless this program trains itself.
    void takeOthersWeights(const QByteArray &bytes);
    void takeTurn(bool granted);
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

float Suggestions::Private::threshold(int label, const LearningResult *trained) const
{
    const float adoptedOne = adopted.value(label, noValue);
    const float own = std::isnan(adoptedOne) ? description->thresholds.at(label) : adoptedOne;
    if (!std::isnan(own))
        return own;
    const TrainedLabel *one = trained ? trained->trained.find(label) : nullptr;
    return one && one->replacesModel ? 0.5f : noValue;
}

JudgingRules Suggestions::Private::rulesFor(std::shared_ptr<const LearningResult> trained) const
{
    JudgingRules next;
    next.catalogueSize = int(catalogue.size());
    if (description)
        next.modelLabels.assign(description->labels.cbegin(), description->labels.cend());
    for (int label = 0; description && label < next.catalogueSize; ++label)
        next.thresholds.push_back(threshold(label, trained.get()));
    for (const TrainedLabel &one : trained ? trained->trained.labels : std::vector<TrainedLabel>())
        if (one.replacesModel)
            next.replaced.push_back(one.label);
    next.learnt = std::move(trained);
    return next;
}

quint32 Suggestions::Private::valuesAt(qsizetype position, float *values) const
{
    const std::size_t width = rules.replaced.size();
    return rules.values(probabilities.read().data() + std::size_t(position * labelCount()),
                        width ? trainedValues.data() + std::size_t(position) * width : nullptr,
                        values);
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
    float leastDistance = 0.f;
    const quint32 bits = rules.suggested(values.data(), &leastDistance);
    keep(position, bits, leastDistance, ordered);
}

void Suggestions::Private::takeTrained(std::shared_ptr<const LearningResult> result)
{
    pass->storeWeights(generation, result->trained.toBytes());
    const std::shared_ptr<TrainingSource> from = std::exchange(runningFrom, nullptr);
    judgeAll(std::move(result), from->images, std::move(from->positions));
}

void Suggestions::Private::takeStoredWeights(const QByteArray &bytes)
{
    std::optional<TrainedLabels> trained = TrainedLabels::fromBytes(bytes);
    if (bytes.isEmpty() || learnt || judgingLearnt || !trained)
        return;
    auto result = std::make_shared<LearningResult>();
    result->trained = std::move(*trained);
    judgeAll(std::move(result), nullptr, {});
}

void Suggestions::Private::takeOthersWeights(const QByteArray &bytes)
{
    std::optional<TrainedLabels> trained = TrainedLabels::fromBytes(bytes);
    if (!trained || askingTurn || training.isRunning())
        return;
    auto result = std::make_shared<LearningResult>();
    result->trained = std::move(*trained);
    judgeAll(std::move(result), nullptr, {});
}

void Suggestions::Private::takeTurn(bool granted)
{
    if (!askingTurn)
        return;
    askingTurn = false;
    if (granted && trainingFrom) {
        runningFrom = std::exchange(trainingFrom, nullptr);
        training.start([from = runningFrom] { return from->gather(); },
                       std::move(trainingThresholds));
        return;
    }
    trainingFrom.reset();
}

void Suggestions::Private::judgeAll(std::shared_ptr<const LearningResult> trained,
                                    std::shared_ptr<const MarkedImages> from,
                                    std::vector<qint32> positions)
{
    judgingLearnt = trained;
    judgingFrom = std::move(from);
    judgingPositions = std::move(positions);
    touched.clear();
    judging.start(rulesFor(std::move(trained)), probabilities, features, certainty);
}

void Suggestions::Private::judgeAllAgain()
{
    if (judging.isRunning())
        judgeAll(judgingLearnt, judgingFrom, judgingPositions);
    else
        judgeAll(learnt, learntFrom, [this] {
            std::vector<qint32> positions;
            for (qint32 position = 0; position < qint32(learntRows.size()); ++position)
                if (learntRows[std::size_t(position)] >= 0)
                    positions.push_back(position);
            return positions;
        }());
}

// The answers judged in the background take the place of this thread's;
// the positions that changed meanwhile are judged again as they are now.
void Suggestions::Private::takeJudged(std::shared_ptr<Rejudged> result)
{
    std::vector<std::pair<qint32, bool>> since;
    for (const qint32 position : touched)
        since.emplace_back(position, !std::isnan(certainty[std::size_t(position)]));
    touched.clear();
    rules = std::move(result->rules);
    learnt = std::exchange(judgingLearnt, nullptr);
    learntFrom = std::exchange(judgingFrom, nullptr);
    learntRows.assign(certainty.size(), -1);
    for (std::size_t row = 0; row < judgingPositions.size(); ++row)
        learntRows[std::size_t(judgingPositions[row])] = qint32(row);
    judgingPositions.clear();
    trainedValues = std::move(result->trained);
    certainty = std::move(result->certainty);
    suggested = std::move(result->suggested);
    sureOrder = std::move(result->order);
    fresh.clear();
    predicted = qsizetype(sureOrder.size());
    const std::size_t width = rules.replaced.size();
    for (const auto &[position, current] : since) {
        if (!std::isnan(certainty[std::size_t(position)])) {
            certainty[std::size_t(position)] = noValue;
            suggested[std::size_t(position)] = 0;
            --predicted;
        }
        if (!current)
            continue;
        if (width)
            rules.trainedValues(features.read()[std::size_t(position)],
                                trainedValues.data() + std::size_t(position) * width);
        judge(position, false);
    }
    tallyStale = true;
    emit q->modelChanged();
}

void Suggestions::Private::restart()
{
    description = classifier ? &classifier->description() : nullptr;
    ++generation;
    const std::size_t count = std::size_t(listing->count());
    probabilities.reset(std::vector<quint16>(description ? count * std::size_t(labelCount()) : 0, 0));
    certainty.assign(count, noValue);
    suggested.assign(count, 0);
    features.reset(std::vector<QByteArray>(count));
    training.cancel();
    trainingFrom.reset();
    runningFrom.reset();
    askingTurn = false;
    judging.cancel();
    judgingLearnt.reset();
    judgingFrom.reset();
    judgingPositions.clear();
    touched.clear();
    learnt.reset();
    learntFrom.reset();
    rules = rulesFor(nullptr);
    trainedValues.clear();
    learntRows.clear();
    assessment = Assessment();
    doubtfulRanks.clear();
    tallyStale = true;
    tallied.clear();
    predicted = 0;
    undecodable = 0;
    sureOrder.clear();
    fresh.clear();
    pass->restart(generation, classifier, listing);
}

void Suggestions::Private::answer(qint32 position, const float *values,
                                  const QByteArray &embedding, bool ordered)
{
    untally(position);
    if (judging.isRunning())
        touched.push_back(position);
    std::vector<quint16> &stored = probabilities.write();
    for (qsizetype i = 0; i < labelCount(); ++i) {
        const int label = description->labels.at(i);
        const float p = std::isfinite(values[label]) ? std::clamp(values[label], 0.f, 1.f) : 0.f;
        stored[std::size_t(position * labelCount() + i)] = quint16(std::lround(p * steps));
    }
    features.write()[std::size_t(position)] = embedding;
    if (const std::size_t width = rules.replaced.size())
        rules.trainedValues(embedding, trainedValues.data() + std::size_t(position) * width);
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
    untally(position);
    if (judging.isRunning())
        touched.push_back(position);
    certainty[std::size_t(position)] = noValue;
    suggested[std::size_t(position)] = 0;
    --predicted;
}

void Suggestions::Private::take(PassArrival arrival)
{
    if (arrival.generation != generation || !description)
        return;
    if (arrival.kind == PassArrival::Turn) {
        takeTurn(arrival.turnGranted);
        return;
    }
    if (arrival.kind == PassArrival::Weights) {
        takeOthersWeights(arrival.weights);
        return;
    }
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
    connect(&d->judging, &BackgroundJudging::judged, this,
            [this](std::shared_ptr<Rejudged> result) { d->takeJudged(std::move(result)); });
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
        limits.append(d->threshold(label, d->learnt.get()));
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

// Gathered in the background from copies of the answers: the window's
// thread only copies arrays. Nothing when the first marked image with a
// prediction has no embedding (a model without features).
void Suggestions::retrain(const std::vector<AnnotationStore::RowFacts> &listedFacts)
{
    if (!d->description)
        return;
    const qsizetype count = std::min(qsizetype(listedFacts.size()), d->listing->count());
    qsizetype first = 0;
    while (first < count
           && (!listedFacts[std::size_t(first)].marked || std::isnan(d->certainty[std::size_t(first)])))
        ++first;
    if (first == count || ModelFeatures::unpack(d->features.read()[std::size_t(first)]).isEmpty())
        return;
    auto source = std::make_shared<TrainingSource>();
    source->listing = d->listing;
    source->catalogueSize = int(d->catalogue.size());
    source->modelLabels = d->rules.modelLabels;
    source->probabilities = d->probabilities;
    source->features = d->features;
    source->certainty = d->certainty;
    source->facts = listedFacts;
    d->trainingFrom = std::move(source);
    d->trainingThresholds = d->thresholdList();
    // A training that runs goes on until the turn is answered.
    d->askingTurn = true;
    d->pass->askTrainingTurn(d->generation);
}

void Suggestions::Private::tallyRow(qsizetype position, float *row) const
{
    const std::size_t width = rules.replaced.size();
    const qint32 learntRow = std::size_t(position) < learntRows.size()
        ? learntRows[std::size_t(position)]
        : -1;
    rules.values(probabilities.read().data() + std::size_t(position * labelCount()), nullptr, row);
    for (std::size_t slot = 0; slot < width; ++slot)
        row[rules.replaced[slot]] = learntRow >= 0
            ? learnt->crossValidated[std::size_t(learntRow) * std::size_t(catalogue.size())
                                     + std::size_t(rules.replaced[slot])]
            : trainedValues[std::size_t(position) * width + slot];
}

void Suggestions::Private::untally(qsizetype position)
{
    if (tallyStale || std::size_t(position) >= tallied.size() || !tallied[std::size_t(position)])
        return;
    std::vector<float> row(std::size_t(catalogue.size()));
    tallyRow(position, row.data());
    tally.remove(position, talliedFlags[std::size_t(position)], row.data());
    tallied[std::size_t(position)] = 0;
}

// Only the positions whose facts changed since the last look are counted
// anew, unless everything must be.
void Suggestions::Private::updateTally(const std::vector<AnnotationStore::RowFacts> &facts)
{
    const std::size_t count = std::size_t(listing->count());
    if (tallyStale || tallied.size() != count) {
        tally = QualityTally(int(catalogue.size()), thresholdList(), rules.replacedBits());
        tallied.assign(count, 0);
        talliedFlags.assign(count, 0);
        tallyStale = false;
    }
    std::vector<float> row(std::size_t(catalogue.size()));
    for (std::size_t position = 0; position < count; ++position) {
        const bool wanted = position < facts.size() && facts[position].marked
            && !std::isnan(certainty[position]);
        const quint32 flags = wanted ? facts[position].flags : 0;
        if (wanted == bool(tallied[position]) && flags == talliedFlags[position])
            continue;
        tallyRow(qsizetype(position), row.data());
        if (tallied[position])
            tally.remove(qsizetype(position), talliedFlags[position], row.data());
        if (wanted)
            tally.add(qsizetype(position), flags, row.data());
        tallied[position] = wanted;
        talliedFlags[position] = flags;
    }
}

void Suggestions::assess(const std::vector<AnnotationStore::RowFacts> &listedFacts)
{
    for (const DoubtfulImage &image : d->assessment.doubtful)
        if (std::size_t(image.image) < d->doubtfulRanks.size())
            d->doubtfulRanks[std::size_t(image.image)] = -1;
    d->assessment = Assessment();
    if (!d->description)
        return;
    d->updateTally(listedFacts);
    d->assessment = d->tally.assessment();
    d->doubtfulRanks.resize(std::size_t(d->listing->count()), -1);
    for (std::size_t rank = 0; rank < d->assessment.doubtful.size(); ++rank)
        d->doubtfulRanks[std::size_t(d->assessment.doubtful[rank].image)] = qint32(rank);
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
        positions.push_back(qint32(image.image));
    return positions;
}

std::vector<DoubtfulLabel> Suggestions::doubtfulLabelsAt(qsizetype position) const
{
    for (const DoubtfulImage &image : d->assessment.doubtful)
        if (image.image == position)
            return image.labels;
    return {};
}

void Suggestions::setThresholds(const QList<float> &thresholds)
{
    if (!d->description || thresholds == d->adopted)
        return;
    d->adopted = thresholds;
    d->tallyStale = true;
    d->judgeAllAgain();
    emit thresholdsAdopted(thresholds);
}

bool Suggestions::hasAdoptedThresholds() const
{
    return !d->adopted.isEmpty();
}

bool Suggestions::isTraining() const
{
    return d->askingTurn || d->training.isRunning() || d->judging.isRunning();
}

std::shared_ptr<const LearningResult> Suggestions::learnt() const
{
    return d->learnt;
}

std::shared_ptr<const MarkedImages> Suggestions::learntFrom() const
{
    return d->learntFrom;
}
