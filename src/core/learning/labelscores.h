#pragma once

#include <QtGlobal>

// Agreement of suggestions with saved flags, counted at one threshold.
struct ScoreCounts
{
    qsizetype truePositives = 0;
    qsizetype falsePositives = 0;
    qsizetype falseNegatives = 0;

    void add(bool suggested, bool saved)
    {
        truePositives += suggested && saved;
        falsePositives += suggested && !saved;
        falseNegatives += !suggested && saved;
    }
    // 0 where nothing was suggested, or nothing had the label.
    double precision() const
    {
        const qsizetype suggested = truePositives + falsePositives;
        return suggested ? double(truePositives) / double(suggested) : 0.0;
    }
    double recall() const
    {
        const qsizetype saved = truePositives + falseNegatives;
        return saved ? double(truePositives) / double(saved) : 0.0;
    }
    // F-beta, from the counts: (1 + b²)·tp / ((1 + b²)·tp + b²·fn + fp).
    double fScore(double beta) const
    {
        const double b2 = beta * beta;
        const double top = (1.0 + b2) * double(truePositives);
        const double bottom = top + b2 * double(falseNegatives) + double(falsePositives);
        return bottom > 0.0 ? top / bottom : 0.0;
    }
};
