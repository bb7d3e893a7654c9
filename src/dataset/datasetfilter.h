#pragma once

#include "datasetsource.h"

#include <QString>

#include <vector>

// Which listed images a reviewer looks at: one choice of the label filter
// (everything, the marked ones, the unmarked ones, one catalogue entry, or
// "no defect" flagged together with another entry, one label the model
// suggests, the marked images whose labels differ from the model's
// suggestions) or, on a team's dataset,
// the images one annotator saved last; and a piece of the file name,
// compared ignoring case.
struct DatasetFilter
{
    // The choices in the order the filter box lists them; a catalogue entry
    // k (from 0) is choice FirstLabel + k, the model suggesting it
    // FirstSuggested + k. Over the labels the model gives, Disagreeing keeps
    // the marked images with a prediction whose row differs from it.
    // Doubtful keeps the marked images the suggestions contradict with
    // confidence, which are walked most doubtful first.
    enum Choice {
        All = 0,
        Marked = 1,
        Unmarked = 2,
        FirstLabel = 3,
        NoDefectWithDefect = 3 + 19,
        FirstSuggested = NoDefectWithDefect + 1,
        Disagreeing = FirstSuggested + 19,
        Doubtful = Disagreeing + 1,
    };

    int choice = All;
    QString nameText;
    // When set, only the images whose row this annotator saved last; the
    // choice is then All.
    QString savedBy;
    // On a team's dataset, only the images of one review state: the saved
    // ones nobody reviewed since, those sent back, those accepted, or those
    // two annotators labelled differently and no reviewer settled yet. The
    // choice is then All.
    enum ReviewChoice { AnyReview, Unreviewed, SentBack, Accepted, Differing };
    int review = AnyReview;
    // The catalogue entry that says "no defect", for NoDefectWithDefect.
    int noDefectLabel = -1;

    bool asksTheModel() const { return choice >= FirstSuggested; }
    bool keepsEverything() const
    {
        return choice == All && nameText.isEmpty() && savedBy.isEmpty() && review == AnyReview;
    }
    bool operator==(const DatasetFilter &other) const
    {
        return choice == other.choice && nameText == other.nameText && savedBy == other.savedBy
            && review == other.review;
        return choice == other.choice && nameText == other.nameText
            && noDefectLabel == other.noDefectLabel;
    }
    bool operator!=(const DatasetFilter &other) const { return !(*this == other); }

    // Whether the filter keeps the listed image at `position`.
    bool keeps(const DatasetSource &images, qsizetype position) const;
    // Whether the review state of the image at `position` passes.
    bool keepsReview(const DatasetSource &images, qsizetype position) const;
    // Every position the filter keeps, ascending.
    std::vector<int> keptPositions(const DatasetSource &images) const;
    // The nearest position after (`step` 1) or before (`step` -1) `from`
    // that the filter keeps; -1 when there is none. `from` may lie outside
    // the list: -1 starts before its first image.
    qsizetype nearestKept(const DatasetSource &images, qsizetype from, int step) const;

private:
    qsizetype nearestDoubtful(const DatasetSource &images, qsizetype from, int step) const;
};
