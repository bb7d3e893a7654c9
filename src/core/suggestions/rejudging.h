#pragma once

#include "labellearning.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

class QThread;

// An array handed to background work without copying it: write() copies it
// first while a copy of the handle is held elsewhere. Handles are copied and
// let go only on the owner's thread (background work keeps its own until its
// thread object is deleted there), so the count write() looks at is exact.
template<typename T>
class SharedArray
{
public:
    const std::vector<T> &read() const { return *data; }
    std::vector<T> &write()
    {
        if (data.use_count() > 1)
            data = std::make_shared<std::vector<T>>(*data);
        return *data;
    }
    void reset(std::vector<T> fresh) { data = std::make_shared<std::vector<T>>(std::move(fresh)); }

private:
    std::shared_ptr<std::vector<T>> data = std::make_shared<std::vector<T>>();
};

// How every image's answer is made from what is stored for it: the model's
// probabilities (16 bits each, in the model's label order), and the trained
// probabilities of the labels whose trained one is the better, worked out
// once from the stored embedding and kept beside them.
struct JudgingRules
{
    int catalogueSize = 0;
    // The catalogue labels the model gives, in its order.
    std::vector<int> modelLabels;
    // Per catalogue label the threshold answers are judged at; NaN: none.
    std::vector<float> thresholds;
    // Null before a training (or stored weights) is taken.
    std::shared_ptr<const LearningResult> learnt;
    // The catalogue labels whose trained probability replaces the model's,
    // in the order their trained values are kept.
    std::vector<int> replaced;

    static constexpr float steps = 65535.f;

    quint32 replacedBits() const;
    // The trained probabilities of `replaced` for one stored embedding; NaN
    // where it has none of the trained width.
    void trainedValues(const QByteArray &features, float *out) const;
    // One image's probability per catalogue label (NaN: none) from its
    // model row and its trained values (null: none kept); the labels whose
    // probability is the trained one, as bits.
    quint32 values(const quint16 *model, const float *trained, float *out) const;
    // The labels at or above their threshold, as bits, and the smallest
    // distance to a threshold.
    quint32 suggested(const float *values, float *certainty) const;
};

// Every image judged anew, by position; `certainty` NaN where no prediction.
struct Rejudged
{
    JudgingRules rules;
    std::vector<float> trained;
    std::vector<float> certainty;
    std::vector<quint32> suggested;
    // (certainty, position) of those with a prediction, least sure first.
    std::vector<std::pair<float, qint32>> order;
};

// Judges every image anew on a thread of its own at low priority (a million
// embeddings take seconds) and hands the result to the thread that started
// it, which swaps it in; that thread never waits. A newer start() or
// cancel() makes the running one stop, and its result is never delivered.
class BackgroundJudging : public QObject
{
    Q_OBJECT

public:
    explicit BackgroundJudging(QObject *parent = nullptr);
    ~BackgroundJudging() override;

    // `probabilities`, `features` and `certainty` are the answers' arrays as
    // they are now (certainty NaN: no prediction).
    void start(JudgingRules rules, SharedArray<quint16> probabilities,
               SharedArray<QByteArray> features, std::vector<float> certainty);
    void cancel();
    bool isRunning() const;

signals:
    void judged(std::shared_ptr<Rejudged> result);

private:
    void finish(quint64 run, std::shared_ptr<Rejudged> result);

    std::vector<QThread *> threads;
    std::shared_ptr<std::atomic<bool>> cancelled;
    quint64 runs = 0;
    bool running = false;
};
