#include "rejudging.h"

#include "classifier.h"

#include <QThread>

#include <algorithm>
#include <cmath>
#include <limits>

quint32 JudgingRules::replacedBits() const
{
    quint32 bits = 0;
    for (const int label : replaced)
        bits |= 1u << label;
    return bits;
}

void JudgingRules::trainedValues(const QByteArray &features, float *out) const
{
    std::fill(out, out + replaced.size(), std::numeric_limits<float>::quiet_NaN());
    if (!learnt || features.isEmpty())
        return;
    const QList<float> embedding = ModelFeatures::unpack(features);
    if (embedding.size() != learnt->trained.width)
        return;
    for (std::size_t slot = 0; slot < replaced.size(); ++slot)
        out[slot] = learnt->trained.probability(replaced[slot], embedding.constData());
}

quint32 JudgingRules::values(const quint16 *model, const float *trained, float *out) const
{
    std::fill(out, out + catalogueSize, std::numeric_limits<float>::quiet_NaN());
    for (std::size_t i = 0; i < modelLabels.size(); ++i)
        out[modelLabels[i]] = float(model[i]) / steps;
    quint32 bits = 0;
    for (std::size_t slot = 0; trained && slot < replaced.size(); ++slot) {
        if (std::isnan(trained[slot]))
            continue;
        out[replaced[slot]] = trained[slot];
        bits |= 1u << replaced[slot];
    }
    return bits;
}

quint32 JudgingRules::suggested(const float *values, float *certainty) const
{
    quint32 bits = 0;
    float leastDistance = std::numeric_limits<float>::infinity();
    for (int label = 0; label < catalogueSize; ++label) {
        const float limit = thresholds[std::size_t(label)];
        if (std::isnan(values[label]) || std::isnan(limit))
            continue;
        if (values[label] >= limit)
            bits |= 1u << label;
        leastDistance = std::min(leastDistance, std::abs(values[label] - limit));
    }
    *certainty = leastDistance;
    return bits;
}

namespace {

std::shared_ptr<Rejudged> judgeAll(JudgingRules rules, const std::vector<quint16> &probabilities,
                                   const std::vector<QByteArray> &features,
                                   std::vector<float> certainty, const std::atomic<bool> &stop)
{
    auto result = std::make_shared<Rejudged>();
    const std::size_t count = certainty.size();
    const std::size_t width = rules.replaced.size();
    const std::size_t labels = rules.modelLabels.size();
    result->trained.assign(count * width, std::numeric_limits<float>::quiet_NaN());
    result->suggested.assign(count, 0);
    std::vector<float> values(std::size_t(rules.catalogueSize));
    for (std::size_t position = 0; position < count; ++position) {
        if (position % 4096 == 0 && stop.load())
            return nullptr;
        if (std::isnan(certainty[position]))
            continue;
        float *trained = result->trained.data() + position * width;
        rules.trainedValues(features[position], trained);
        rules.values(probabilities.data() + position * labels, trained, values.data());
        result->suggested[position] = rules.suggested(values.data(), &certainty[position]);
        result->order.emplace_back(certainty[position], qint32(position));
    }
    std::sort(result->order.begin(), result->order.end());
    result->certainty = std::move(certainty);
    result->rules = std::move(rules);
    return result;
}

} // namespace

BackgroundJudging::BackgroundJudging(QObject *parent) : QObject(parent) {}

BackgroundJudging::~BackgroundJudging()
{
    cancel();
    for (QThread *thread : threads) {
        thread->wait();
        delete thread;
    }
}

void BackgroundJudging::start(JudgingRules rules, SharedArray<quint16> probabilities,
                              SharedArray<QByteArray> features, std::vector<float> certainty)
{
    cancel();
    cancelled = std::make_shared<std::atomic<bool>>(false);
    const quint64 run = ++runs;
    running = true;
    QThread *thread = QThread::create(
        [this, run, stop = cancelled, rules = std::move(rules),
         probabilities = std::move(probabilities), features = std::move(features),
         certainty = std::move(certainty)]() mutable {
            std::shared_ptr<Rejudged> result = judgeAll(std::move(rules), probabilities.read(),
                                                        features.read(), std::move(certainty),
                                                        *stop);
            if (!result)
                return;
            QMetaObject::invokeMethod(
                this, [this, run, result] { finish(run, result); }, Qt::QueuedConnection);
        });
    connect(thread, &QThread::finished, this, [this, thread] {
        threads.erase(std::remove(threads.begin(), threads.end(), thread), threads.end());
        thread->deleteLater();
    });
    threads.push_back(thread);
    thread->start(QThread::LowPriority);
}

void BackgroundJudging::cancel()
{
    if (cancelled)
        cancelled->store(true);
    running = false;
}

bool BackgroundJudging::isRunning() const
{
    return running;
}

void BackgroundJudging::finish(quint64 run, std::shared_ptr<Rejudged> result)
{
    if (run != runs || !running)
        return;
    running = false;
    emit judged(std::move(result));
}
