#pragma once

#include "labellearning.h"

#include <QString>

#include <map>
#include <utility>
#include <vector>

// How well the suggestions agree with the people, over the marked images,
// and the marked images they contradict with confidence: both from one pass
// over flat arrays, for a million rows at once.

struct LabelQuality
{
    int label = -1;
    // The figures are a trained label's, cross-validated.
    bool trained = false;
    // Marked images saved with the label; below LabelLearning::minimumEach
    // the figures read insufficientText().
    qsizetype withLabel = 0;
    bool enough = false;
    // At the label's threshold, over the marked images with a probability.
    double precision = 0.0, recall = 0.0, f1 = 0.0, f2 = 0.0;
    // The threshold, in steps of thresholdStep, that maximises F2 on them
    // (the highest of equals).
    float suggestedThreshold = NAN;
};

struct DoubtfulLabel
{
    int label = -1;
    bool saved = false;
    // The suggestion's probability of the label.
    float probability = NAN;
};

struct DoubtfulImage
{
    qsizetype image = -1;
    // The lowest probability the suggestion gives to a saved value.
    float score = 1.0f;
    // The labels below doubtfulBelow, most doubtful first.
    std::vector<DoubtfulLabel> labels;
};

struct Assessment
{
    // One row per label that some marked image has a probability for, in
    // catalogue order, each judged at its threshold.
    std::vector<LabelQuality> table;
    // The marked images whose score is below doubtfulBelow, most doubtful
    // first (equals in their order in the images).
    std::vector<DoubtfulImage> doubtful;
};

// The same figures kept over images added and taken away one at a time, so
// that a save costs the few labels of one image, not a pass over a million:
// an image is taken away with exactly the flags and probabilities it was
// added with. Images are known by a number of the caller's, whose order
// ranks equally doubtful images.
class QualityTally
{
public:
    QualityTally() = default;
    // `thresholds`: one per catalogue label (NaN: 0.5); `trained`: the labels,
    // as bits, whose figures are a trained label's.
    QualityTally(int labelCount, const std::vector<float> &thresholds, quint32 trained);

    // `probabilities`: one per label, NaN where the suggestion gives none.
    void add(qsizetype image, quint32 flags, const float *probabilities);
    void remove(qsizetype image, quint32 flags, const float *probabilities);
    Assessment assessment() const;

private:
    void change(qsizetype image, quint32 flags, const float *probabilities, int sign);
    LabelQuality quality(int label) const;

    int labelCount = 0;
    quint32 trainedLabels = 0;
    std::vector<float> judgedAt;
    // Per label: images with a probability, with the label, and the counts
    // at the threshold; per label and threshold step, the images with and
    // without the label that reach it and not the next.
    std::vector<qsizetype> covered, withLabel, truePositives, falsePositives, falseNegatives;
    std::vector<qint32> savedAt, unsavedAt;
    // Most doubtful first: by score, then by the caller's number.
    std::map<std::pair<float, qsizetype>, std::vector<DoubtfulLabel>> doubtful;
};

namespace LabelQualities {

inline constexpr float doubtfulBelow = 0.1f;
inline constexpr float thresholdStep = 0.001f;

// The probability a suggestion gives `label` for marked image `image`: the
// cross-validated one of a label whose trained probability replaces the
// model's, the model's otherwise; NaN where there is none. `learnt` may be
// null.
float suggestionProbability(const MarkedImages &images, const LearningResult *learnt,
                            qsizetype image, int label);

// The per-label table and the likely mistakes, in one pass over the rows,
// at `thresholds` (one per catalogue label; NaN: 0.5).
Assessment assess(const MarkedImages &images, const LearningResult *learnt,
                  const std::vector<float> &thresholds);

// What a label's figures read with too few marked images that have it.
QString insufficientText();

} // namespace LabelQualities
