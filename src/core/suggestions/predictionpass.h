#pragma once

#include "classifier.h"
#include "predictionlisting.h"
#include "predictionstore.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

// What the background pass found, handed over from its own thread.
struct PassArrival
{
    enum Kind {
        Stored,     // predictions read from the store, still current
        StoredDone, // every stored one was handed over
        Predicted,  // predictions made now (or pictures that gave none)
        Refused,    // the model or the store turned out unusable: `refusal`
        Turn,       // the answer to askTrainingTurn(): `turnGranted`
        Weights,    // another program stored new trained weights: `weights`
    };

    quint64 generation = 0;
    Kind kind = Predicted;
    // Listed positions, and for each a probability per catalogue label.
    std::vector<qint32> positions;
    std::vector<float> values;
    // For each position its embedding as stored (ModelFeatures::pack());
    // empty when the model names no features output.
    std::vector<QByteArray> features;
    // Positions whose prediction is no longer current.
    std::vector<qint32> forgotten;
    qsizetype undecodable = 0;
    QString refusal;
    // With StoredDone: every stored prediction's (certainty, position),
    // sorted, made here so that the reader need not sort a million.
    std::vector<std::pair<float, qint32>> order;
    // With StoredDone: the trained weights stored for the model; empty when
    // none are. With Weights: those another program stored since.
    QByteArray weights;
    bool turnGranted = false;
};

// The thread that predicts, at low priority, the listed images without a
// current prediction: the shown image first, then its neighbours, then the
// rest in listing order. It alone uses the store: it opens it for each
// model, reads what it holds, claims what it predicts and writes in batches.
// A generation is one model on one listing: what it hands over carries its
// number, so that the reader drops what a former one finds.
class PredictionPass
{
public:
    using Deliver = std::function<void(PassArrival)>;

    PredictionPass(std::unique_ptr<PredictionStore> store, Deliver deliver);
    // Waits for the picture at hand, then writes what is not written yet.
    ~PredictionPass();
    PredictionPass(const PredictionPass &) = delete;
    PredictionPass &operator=(const PredictionPass &) = delete;

    // Starts generation `generation`: `classifier` (none: nothing is
    // predicted) on `listing`.
    void restart(quint64 generation, std::optional<Classifier> classifier,
                 std::shared_ptr<const PredictionListing> listing);
    // The position shown now: it and its neighbours go before the rest.
    void show(qsizetype position);
    // Stores `weights`, the trained weights of generation `generation`'s
    // model, unless another generation began meanwhile.
    // Gives back the turn to train (PredictionStore::takeTrainingTurn()) once
    // they are stored.
    void storeWeights(quint64 generation, const QByteArray &weights);
    // Asks the store whether this program may train now: answered by an
    // arrival of kind Turn. Every 30 s the pass also asks the store for the
    // trained weights, and hands them over when another program stored new
    // ones.
    void askTrainingTurn(quint64 generation);

    struct Shared;

private:
    std::shared_ptr<Shared> shared;
    std::thread thread;
};
