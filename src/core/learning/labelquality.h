#pragma once

#include "labellearning.h"

#include <QString>

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
