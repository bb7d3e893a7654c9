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

LabelQuality labelQuality(const MarkedImages &images, const std::vector<float> &probabilities,
                          int label, float threshold)
{
    LabelQuality quality;
    quality.label = label;
    std::vector<qsizetype> saved(steps + 1, 0), unsaved(steps + 1, 0);
    ScoreCounts counts;
    qsizetype judgedWithLabel = 0;
    const float *p = probabilities.data() + label;
    for (qsizetype i = 0; i < images.count(); ++i, p += images.labelCount) {
        const bool flag = images.saved(i, label);
        quality.withLabel += flag;
        if (std::isnan(*p))
            continue;
        counts.add(*p >= threshold, flag);
        ++(flag ? saved : unsaved)[stepOf(*p)];
        judgedWithLabel += flag;
    }
    quality.enough = quality.withLabel >= LabelLearning::minimumEach;
    quality.precision = counts.precision();
    quality.recall = counts.recall();
    quality.f1 = counts.fScore(1.0);
    quality.f2 = counts.fScore(2.0);
    quality.suggestedThreshold = bestF2Threshold(saved, unsaved, judgedWithLabel);
    return quality;
}

} // namespace

std::vector<float> LabelQualities::suggestionProbabilities(const MarkedImages &images,
                                                           const LearningResult *learnt)
{
    std::vector<float> probabilities = images.model;
    if (!learnt)
        return probabilities;
    for (const TrainedLabel &trained : learnt->trained.labels) {
        if (!trained.replacesModel)
            continue;
        for (qsizetype i = 0; i < images.count(); ++i) {
            const qsizetype at = i * images.labelCount + trained.label;
            probabilities[at] = learnt->crossValidated[at];
        }
    }
    return probabilities;
}

std::vector<LabelQuality> LabelQualities::table(const MarkedImages &images,
                                                const std::vector<float> &probabilities,
                                                const std::vector<float> &thresholds,
                                                const LearningResult *learnt)
{
    std::vector<LabelQuality> rows;
    for (int label = 0; label < images.labelCount; ++label) {
        bool covered = false;
        for (qsizetype i = 0; i < images.count() && !covered; ++i)
            covered = !std::isnan(probabilities[i * images.labelCount + label]);
        if (!covered)
            continue;
        LabelQuality quality = labelQuality(images, probabilities, label,
                                            LabelLearning::thresholdOf(thresholds, label));
        const TrainedLabel *trained = learnt ? learnt->trained.find(label) : nullptr;
        quality.trained = trained && trained->replacesModel;
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
