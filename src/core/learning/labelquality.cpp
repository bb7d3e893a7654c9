#include "labelquality.h"

#include "labelscores.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

constexpr int steps = 1000; // thresholds k · thresholdStep, k = 0 .. steps

float stepThreshold(int k)
{
    return float(k) / float(steps);
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
float bestF2Threshold(const std::vector<qsizetype> &saved, const std::vector<qsizetype> &unsaved,
                      qsizetype savedTotal)
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

// Counts of one label over the marked images, gathered in the one pass
// that serves every label.
struct LabelCounts
{
    ScoreCounts atThreshold;
    std::vector<qsizetype> saved = std::vector<qsizetype>(steps + 1, 0);
    std::vector<qsizetype> unsaved = std::vector<qsizetype>(steps + 1, 0);
    qsizetype withLabel = 0;
    qsizetype judgedWithLabel = 0;
    bool covered = false;
};

void count(std::vector<LabelCounts> &counts, const MarkedImages &images,
           const std::vector<float> &probabilities, const std::vector<float> &thresholds)
{
    const float *p = probabilities.data();
    for (qsizetype i = 0; i < images.count(); ++i, p += images.labelCount) {
        for (int label = 0; label < images.labelCount; ++label) {
            LabelCounts &c = counts[label];
            const bool flag = images.saved(i, label);
            c.withLabel += flag;
            if (std::isnan(p[label]))
                continue;
            c.covered = true;
            c.atThreshold.add(p[label] >= thresholds[label], flag);
            ++(flag ? c.saved : c.unsaved)[stepOf(p[label])];
            c.judgedWithLabel += flag;
        }
    }
}

} // namespace

std::vector<float> LabelQualities::suggestionProbabilities(const MarkedImages &images,
                                                           const LearningResult *learnt)
{
    std::vector<float> probabilities = images.model;
    quint32 replaced = 0;
    if (learnt)
        for (const TrainedLabel &trained : learnt->trained.labels)
            replaced |= trained.replacesModel ? 1u << trained.label : 0u;
    if (!replaced)
        return probabilities;
    for (qsizetype at = 0; at < qsizetype(probabilities.size()); at += images.labelCount)
        for (int label = 0; label < images.labelCount; ++label)
            if (replaced >> label & 1u)
                probabilities[at + label] = learnt->crossValidated[at + label];
    return probabilities;
}

std::vector<LabelQuality> LabelQualities::table(const MarkedImages &images,
                                                const std::vector<float> &probabilities,
                                                const std::vector<float> &thresholds,
                                                const LearningResult *learnt)
{
    std::vector<float> judgedAt(images.labelCount);
    for (int label = 0; label < images.labelCount; ++label)
        judgedAt[label] = LabelLearning::thresholdOf(thresholds, label);
    std::vector<LabelCounts> counts(images.labelCount);
    count(counts, images, probabilities, judgedAt);
    std::vector<LabelQuality> rows;
    for (int label = 0; label < images.labelCount; ++label) {
        const LabelCounts &c = counts[label];
        if (!c.covered)
            continue;
        LabelQuality quality;
        quality.label = label;
        const TrainedLabel *trained = learnt ? learnt->trained.find(label) : nullptr;
        quality.trained = trained && trained->replacesModel;
        quality.withLabel = c.withLabel;
        quality.enough = c.withLabel >= LabelLearning::minimumEach;
        quality.precision = c.atThreshold.precision();
        quality.recall = c.atThreshold.recall();
        quality.f1 = c.atThreshold.fScore(1.0);
        quality.f2 = c.atThreshold.fScore(2.0);
        quality.suggestedThreshold = bestF2Threshold(c.saved, c.unsaved, c.judgedWithLabel);
        rows.push_back(quality);
    }
    return rows;
}

std::vector<DoubtfulImage> LabelQualities::doubtful(const MarkedImages &images,
                                                    const std::vector<float> &probabilities)
{
    std::vector<DoubtfulImage> list;
    const float *p = probabilities.data();
    for (qsizetype i = 0; i < images.count(); ++i, p += images.labelCount) {
        DoubtfulImage doubt;
        for (int label = 0; label < images.labelCount; ++label) {
            if (std::isnan(p[label]))
                continue;
            const bool saved = images.saved(i, label);
            const float given = saved ? p[label] : 1.0f - p[label];
            if (given < doubtfulBelow)
                doubt.labels.push_back({label, saved, p[label]});
            doubt.score = std::min(doubt.score, given);
        }
        if (doubt.labels.empty())
            continue;
        doubt.image = i;
        const auto confidence = [](const DoubtfulLabel &d) {
            return d.saved ? d.probability : 1.0f - d.probability;
        };
        std::stable_sort(doubt.labels.begin(), doubt.labels.end(),
                         [&](const DoubtfulLabel &a, const DoubtfulLabel &b) {
                             return confidence(a) < confidence(b);
                         });
        list.push_back(std::move(doubt));
    }
    std::stable_sort(list.begin(), list.end(), [](const DoubtfulImage &a, const DoubtfulImage &b) {
        return a.score < b.score;
    });
    return list;
}

QString LabelQualities::insufficientText()
{
    return QCoreApplication::translate("LabelQualities", "样本不足");
}
