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
float bestF2Threshold(const std::vector<qint32> &saved, const std::vector<qint32> &unsaved,
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
// that serves every label: per threshold step, the images with and without
// the label that reach it and not the next (kept small, as 19 of them stay
// in the cache while a million rows go by).
struct LabelCounts
{
    ScoreCounts atThreshold;
    std::vector<qint32> saved = std::vector<qint32>(steps + 1, 0);
    std::vector<qint32> unsaved = std::vector<qint32>(steps + 1, 0);
    qsizetype withLabel = 0;
    bool covered = false;
};

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

void noteDoubtful(std::vector<DoubtfulImage> &list, qsizetype image, const DoubtfulLabel &doubt,
                  float given)
{
    if (list.empty() || list.back().image != image)
        list.push_back({image, 1.0f, {}});
    DoubtfulImage &last = list.back();
    last.score = std::min(last.score, given);
    last.labels.push_back(doubt);
}

void count(std::vector<LabelCounts> &counts, std::vector<DoubtfulImage> &doubtful,
           const MarkedImages &images, const Sources &sources, const std::vector<float> &thresholds)
{
    const int labels = images.labelCount;
    for (qsizetype i = 0; i < images.count(); ++i) {
        const quint32 flags = images.flags[i];
        for (int label = 0; label < labels; ++label) {
            LabelCounts &c = counts[label];
            const bool flag = flags >> label & 1u;
            c.withLabel += flag;
            const float p = sources.at(i * labels, label);
            if (std::isnan(p))
                continue;
            c.covered = true;
            c.atThreshold.add(p >= thresholds[label], flag);
            ++(flag ? c.saved : c.unsaved)[stepOf(p)];
            const float given = flag ? p : 1.0f - p;
            if (given < LabelQualities::doubtfulBelow)
                noteDoubtful(doubtful, i, {label, flag, p}, given);
        }
    }
}

LabelQuality quality(const LabelCounts &c, int label, bool trained)
{
    LabelQuality quality;
    quality.label = label;
    quality.trained = trained;
    quality.withLabel = c.withLabel;
    quality.enough = c.withLabel >= LabelLearning::minimumEach;
    quality.precision = c.atThreshold.precision();
    quality.recall = c.atThreshold.recall();
    quality.f1 = c.atThreshold.fScore(1.0);
    quality.f2 = c.atThreshold.fScore(2.0);
    quality.suggestedThreshold = bestF2Threshold(
        c.saved, c.unsaved, c.atThreshold.truePositives + c.atThreshold.falseNegatives);
    return quality;
}

// Most doubtful first: the images by their score, an image's labels by the
// probability given to their saved value.
void order(std::vector<DoubtfulImage> &doubtful)
{
    const auto given = [](const DoubtfulLabel &d) {
        return d.saved ? d.probability : 1.0f - d.probability;
    };
    for (DoubtfulImage &image : doubtful)
        std::stable_sort(image.labels.begin(), image.labels.end(),
                         [&](const DoubtfulLabel &a, const DoubtfulLabel &b) {
                             return given(a) < given(b);
                         });
    std::stable_sort(doubtful.begin(), doubtful.end(),
                     [](const DoubtfulImage &a, const DoubtfulImage &b) {
                         return a.score < b.score;
                     });
}

} // namespace

float LabelQualities::suggestionProbability(const MarkedImages &images,
                                            const LearningResult *learnt, qsizetype image,
                                            int label)
{
    return Sources(images, learnt).at(image * images.labelCount, label);
}

Assessment LabelQualities::assess(const MarkedImages &images, const LearningResult *learnt,
                                  const std::vector<float> &thresholds)
{
    std::vector<float> judgedAt(images.labelCount);
    for (int label = 0; label < images.labelCount; ++label)
        judgedAt[label] = LabelLearning::thresholdOf(thresholds, label);
    const Sources sources(images, learnt);
    std::vector<LabelCounts> counts(images.labelCount);
    Assessment assessment;
    count(counts, assessment.doubtful, images, sources, judgedAt);
    for (int label = 0; label < images.labelCount; ++label)
        if (counts[label].covered)
            assessment.table.push_back(
                quality(counts[label], label, sources.replaced >> label & 1u));
    order(assessment.doubtful);
    return assessment;
}

QString LabelQualities::insufficientText()
{
    return QCoreApplication::translate("LabelQualities", "样本不足");
}
