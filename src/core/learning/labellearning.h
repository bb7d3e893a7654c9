#pragma once

#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <cmath>
#include <optional>
#include <vector>

// What a dataset's own labels teach about its suggestions: per catalogue
// label, a logistic regression on the model's embeddings of the marked
// images, judged by 5-fold cross-validation against the model's own
// probabilities on the same images.
//
// Labels are the catalogue's, by their index in it (at most 32).

// The marked images learnt from, in flat rows so that a million of them fit
// in a few arrays.
struct MarkedImages
{
    int labelCount = 0;
    // The embedding's width; 0 when the model gives none.
    qsizetype width = 0;
    QStringList names;
    // names.size() × width values, row by row; a row starting with NaN is an
    // image without an embedding, left out of training.
    std::vector<float> embeddings;
    // Per image, bit l set when the saved row gives catalogue label l "1".
    std::vector<quint32> flags;
    // names.size() × labelCount: the model's probability, NaN where the
    // model gives none (a label it does not give, an image not predicted).
    std::vector<float> model;

    qsizetype count() const { return names.size(); }
    bool saved(qsizetype image, int label) const { return flags[image] >> label & 1u; }
    bool hasEmbedding(qsizetype image) const
    {
        return width > 0 && !std::isnan(embeddings[image * width]);
    }
};

// One trained label: its weights apply to the embedding as it is stored.
struct TrainedLabel
{
    int label = -1;
    std::vector<float> weights;
    float bias = 0.0f;
    // The cross-validated F1 at the label's threshold, and the model's on
    // the same images (NaN when the model does not give the label).
    double trainedF1 = 0.0;
    double modelF1 = NAN;
    // The trained probability is the better one: it replaces the model's.
    bool replacesModel = false;
};

class TrainedLabels
{
public:
    qsizetype width = 0;
    std::vector<TrainedLabel> labels;

    const TrainedLabel *find(int label) const;
    // The trained probability of `label` for one embedding of `width`
    // values; NaN when the label is not trained.
    float probability(int label, const float *embedding) const;
    // Replaces, in one image's probabilities (one per catalogue label), those
    // of the labels whose trained probability is the better one. Returns
    // the labels replaced, as bits.
    quint32 improve(float *probabilities, const float *embedding) const;

    // Kept with the predictions; fromBytes() refuses bytes it did not write.
    QByteArray toBytes() const;
    static std::optional<TrainedLabels> fromBytes(const QByteArray &bytes);
};

struct LearningResult
{
    TrainedLabels trained;
    // count() × labelCount: each marked image's out-of-fold probability,
    // NaN where the label is not trained or the image has no embedding.
    std::vector<float> crossValidated;
};

namespace LabelLearning {

// A label is trained from this many marked images with it and without it.
inline constexpr qsizetype minimumEach = 20;
inline constexpr int folds = 5;

// Trains every label that has enough marked images with an embedding, at
// `thresholds` (one per catalogue label; NaN: 0.5). Runs on any thread and
// holds no shared state; nothing when `cancelled` became true on the way.
std::optional<LearningResult> train(const MarkedImages &images, const std::vector<float> &thresholds,
                                    const std::atomic<bool> &cancelled);

// The threshold a label is judged at: its own, or 0.5 when it has none.
float thresholdOf(const std::vector<float> &thresholds, int label);

} // namespace LabelLearning
