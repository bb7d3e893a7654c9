#include "labelquality.h"

#include "labelscores.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

constexpr int steps = 1000; // thresholds k · thresholdStep, k = 0 .. steps

float stepThreshold(int k)
{
    static const std::vector<float> thresholds = [] {
        std::vector<float> all(steps + 2);
        for (int k = 0; k <= steps + 1; ++k)
            all[k] = float(k) / float(steps);
        return all;
    }();
    return thresholds[k];
}

// The highest k whose threshold `p` reaches, compared as a suggestion is.
int stepOf(float p)
{
    int k = std::clamp(int(p * float(steps)), 0, steps);
    while (k < steps && p >= stepThreshold(k + 1))
        ++k;
    while (k > 0 && p < stepThreshold(k))
        --k;
    return k;
}

// The threshold of the highest F2 from per-step counts of saved and
// unsaved flags.
float bestF2Threshold(const qint32 *saved, const qint32 *unsaved, qsizetype savedTotal)
{
    ScoreCounts counts;
    counts.falseNegatives = savedTotal;
    double best = -1.0;
    int bestStep = steps;
    for (int k = steps; k >= 0; --k) {
        counts.truePositives += saved[k];
        counts.falseNegatives -= saved[k];
        counts.falsePositives += unsaved[k];
        const double f2 = counts.fScore(2.0);
        if (f2 > best) {
            best = f2;
            bestStep = k;
        }
    }
    return stepThreshold(bestStep);
}

// Where each label's probabilities are read: the model's row, or the
// cross-validated one of a label whose trained probability replaces it.
struct Sources
{
    const float *model = nullptr;
    const float *crossValidated = nullptr;
    quint32 replaced = 0;

    Sources(const MarkedImages &images, const LearningResult *learnt) : model(images.model.data())
    {
        if (!learnt)
            return;
        crossValidated = learnt->crossValidated.data();
        for (const TrainedLabel &trained : learnt->trained.labels)
            replaced |= trained.replacesModel ? 1u << trained.label : 0u;
    }
    float at(qsizetype offset, int label) const
    {
        return (replaced >> label & 1u ? crossValidated : model)[offset + label];
    }
};

// An image's doubtful labels, most doubtful first (equals in label order),
// and its score: the lowest probability given to a saved value.
std::vector<DoubtfulLabel> doubtsOf(int labels, quint32 flags, const float *probabilities,
                                    float *score)
{
    std::vector<DoubtfulLabel> doubts;
    *score = 1.0f;
    for (int label = 0; label < labels; ++label) {
        const float p = probabilities[label];
        const bool flag = flags >> label & 1u;
        const float given = flag ? p : 1.0f - p;
        if (std::isnan(p) || !(given < LabelQualities::doubtfulBelow))
            continue;
        doubts.push_back({label, flag, p});
        *score = std::min(*score, given);
    }
    const auto givenOf = [](const DoubtfulLabel &d) {
        return d.saved ? d.probability : 1.0f - d.probability;
    };
    std::stable_sort(doubts.begin(), doubts.end(),
                     [&](const DoubtfulLabel &a, const DoubtfulLabel &b) {
                         return givenOf(a) < givenOf(b);
                     });
    return doubts;
}

} // namespace

QualityTally::QualityTally(int labelCount, const std::vector<float> &thresholds, quint32 trained)
    : labelCount(labelCount), trainedLabels(trained), judgedAt(std::size_t(labelCount)),
      covered(judgedAt.size(), 0), withLabel(judgedAt.size(), 0),
      truePositives(judgedAt.size(), 0), falsePositives(judgedAt.size(), 0),
      falseNegatives(judgedAt.size(), 0), savedAt(judgedAt.size() * (steps + 1), 0),
      unsavedAt(judgedAt.size() * (steps + 1), 0)
{
    for (int label = 0; label < labelCount; ++label)
        judgedAt[std::size_t(label)] = LabelLearning::thresholdOf(thresholds, label);
}

void QualityTally::change(qsizetype image, quint32 flags, const float *probabilities, int sign)
{
    for (int label = 0; label < labelCount; ++label) {
        const bool flag = flags >> label & 1u;
        withLabel[label] += sign * flag;
        const float p = probabilities[label];
        if (std::isnan(p))
            continue;
        covered[label] += sign;
        const bool suggested = p >= judgedAt[label];
        truePositives[label] += sign * (suggested && flag);
        falsePositives[label] += sign * (suggested && !flag);
        falseNegatives[label] += sign * (!suggested && flag);
        (flag ? savedAt : unsavedAt)[std::size_t(label) * (steps + 1) + stepOf(p)] += sign;
    }
    float score = 1.0f;
    std::vector<DoubtfulLabel> doubts = doubtsOf(labelCount, flags, probabilities, &score);
    if (doubts.empty())
        return;
    if (sign > 0)
        doubtful.emplace(std::make_pair(score, image), std::move(doubts));
    else
        doubtful.erase(std::make_pair(score, image));
}

void QualityTally::add(qsizetype image, quint32 flags, const float *probabilities)
{
    change(image, flags, probabilities, 1);
}

void QualityTally::remove(qsizetype image, quint32 flags, const float *probabilities)
{
    change(image, flags, probabilities, -1);
}

LabelQuality QualityTally::quality(int label) const
{
    ScoreCounts counts;
    counts.truePositives = truePositives[label];
    counts.falsePositives = falsePositives[label];
    counts.falseNegatives = falseNegatives[label];
    LabelQuality quality;
    quality.label = label;
    quality.trained = trainedLabels >> label & 1u;
    quality.withLabel = withLabel[label];
    quality.enough = quality.withLabel >= LabelLearning::minimumEach;
    quality.precision = counts.precision();
    quality.recall = counts.recall();
    quality.f1 = counts.fScore(1.0);
    quality.f2 = counts.fScore(2.0);
    const std::size_t first = std::size_t(label) * (steps + 1);
    quality.suggestedThreshold =
        bestF2Threshold(savedAt.data() + first, unsavedAt.data() + first,
                        counts.truePositives + counts.falseNegatives);
    return quality;
}

Assessment QualityTally::assessment() const
{
    Assessment assessment;
    for (int label = 0; label < labelCount; ++label)
        if (covered[label] > 0)
            assessment.table.push_back(quality(label));
    assessment.doubtful.reserve(doubtful.size());
    for (const auto &[key, labels] : doubtful)
        assessment.doubtful.push_back({key.second, key.first, labels});
    return assessment;
}

float LabelQualities::suggestionProbability(const MarkedImages &images,
                                            const LearningResult *learnt, qsizetype image,
                                            int label)
{
    return Sources(images, learnt).at(image * images.labelCount, label);
}

Assessment LabelQualities::assess(const MarkedImages &images, const LearningResult *learnt,
                                  const std::vector<float> &thresholds)
{
    const Sources sources(images, learnt);
    QualityTally tally(images.labelCount, thresholds, sources.replaced);
    std::vector<float> row(std::size_t(images.labelCount));
    for (qsizetype i = 0; i < images.count(); ++i) {
        for (int label = 0; label < images.labelCount; ++label)
            row[std::size_t(label)] = sources.at(i * images.labelCount, label);
        tally.add(i, images.flags[std::size_t(i)], row.data());
    }
    return tally.assessment();
}

QString LabelQualities::insufficientText()
{
    return QCoreApplication::translate("LabelQualities", "样本不足");
}
