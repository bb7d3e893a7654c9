#pragma once

#include "labellearning.h"

#include <QString>

#include <vector>

// How well the suggestions agree with the people, over the marked images,
// and the marked images they contradict with confidence. Both answer from
// one probability per image and label (suggestionProbabilities()) in a few
// passes over flat arrays, for a million rows at once.

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

namespace LabelQualities {

inline constexpr float doubtfulBelow = 0.1f;
inline constexpr float thresholdStep = 0.001f;

// Per marked image and label (count() × labelCount): the cross-validated
// probability of a label whose trained one replaces the model's, the
// model's otherwise; NaN where there is none. `learnt` may be null.
std::vector<float> suggestionProbabilities(const MarkedImages &images, const LearningResult *learnt);

// One row per label that some marked image has a probability for, in
// catalogue order, each judged at its threshold (NaN: 0.5).
std::vector<LabelQuality> table(const MarkedImages &images, const std::vector<float> &probabilities,
                                const std::vector<float> &thresholds, const LearningResult *learnt);

// The marked images whose score is below doubtfulBelow, most doubtful first
// (equals in their order in `images`).
std::vector<DoubtfulImage> doubtful(const MarkedImages &images,
                                    const std::vector<float> &probabilities);

// What a label's figures read with too few marked images that have it.
QString insufficientText();

} // namespace LabelQualities
