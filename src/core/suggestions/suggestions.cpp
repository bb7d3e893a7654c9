#include "suggestions.h"

#include "classifier.h"
#include "predictionlisting.h"
#include "predictionpass.h"

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
    qsizetype predicted = 0;
    qsizetype undecodable = 0;
    mutable std::vector<std::pair<float, qint32>> sureOrder;
    mutable std::vector<std::pair<float, qint32>> fresh;

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
    void answer(qint32 position, const float *values);
    void forget(qint32 position);
};

void Suggestions::Private::restart()
{
    description = classifier ? &classifier->description() : nullptr;
    ++generation;
    const std::size_t count = std::size_t(listing->count());
    probabilities.assign(description ? count * std::size_t(labelCount()) : 0, 0);
    certainty.assign(count, noValue);
    suggested.assign(count, 0);
    predicted = 0;
    undecodable = 0;
    sureOrder.clear();
    fresh.clear();
    pass->restart(generation, classifier, listing);
}

void Suggestions::Private::answer(qint32 position, const float *values)
{
    float leastDistance = std::numeric_limits<float>::infinity();
    quint32 bits = 0;
    for (qsizetype i = 0; i < labelCount(); ++i) {
        const int label = description->labels.at(i);
        const float threshold = description->thresholds.at(label);
        const float p = std::isfinite(values[label]) ? std::clamp(values[label], 0.f, 1.f) : 0.f;
        probabilities[std::size_t(position * labelCount() + i)] = quint16(std::lround(p * steps));
        leastDistance = std::min(leastDistance, std::abs(p - threshold));
        if (p >= threshold)
            bits |= 1u << label;
    }
    if (std::isnan(certainty[std::size_t(position)]))
        ++predicted;
    certainty[std::size_t(position)] = leastDistance;
    suggested[std::size_t(position)] = bits;
    fresh.emplace_back(leastDistance, position);
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
        answer(arrival.positions[i], arrival.values.data() + i * width);
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
    d->restart();
    emit modelChanged();
    return true;
}

void Suggestions::unloadModel()
{
    if (!d->classifier)
        return;
    d->classifier.reset();
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
    return d->description ? d->description->thresholds : QList<float>();
}

std::optional<QList<float>> Suggestions::probabilities(const QString &fileName) const
{
    const qsizetype position = d->current(fileName);
    if (position < 0)
        return std::nullopt;
    QList<float> values(d->catalogue.size(), noValue);
    for (qsizetype i = 0; i < d->labelCount(); ++i)
        values[d->description->labels.at(i)] =
            float(d->probabilities[std::size_t(position * d->labelCount() + i)]) / steps;
    return values;
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
