#pragma once

#include "annotationstore.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <array>
#include <functional>
#include <vector>

// What the annotation file says about one image, as the store's index has it.
using ImageFacts = AnnotationStore::RowFacts;

// Which listed images a reviewer looks at: one choice of the label filter
// (everything, the marked ones, the unmarked ones, one catalogue entry, or
// "no defect" flagged together with another entry) and a piece of the file
// name, compared ignoring case.
struct DatasetFilter
{
    // The choices in the order the filter box lists them; a catalogue entry
    // k (from 0) is choice FirstLabel + k.
    enum Choice { All = 0, Marked = 1, Unmarked = 2, FirstLabel = 3, NoDefectWithDefect = 3 + 19 };

    int choice = All;
    QString nameText;
    // The catalogue entry that says "no defect", for NoDefectWithDefect.
    int noDefectLabel = -1;

    bool keepsEverything() const { return choice == All && nameText.isEmpty(); }
    bool operator==(const DatasetFilter &other) const
    {
        return choice == other.choice && nameText == other.nameText
            && noDefectLabel == other.noDefectLabel;
    }
    bool operator!=(const DatasetFilter &other) const { return !(*this == other); }
};

// The facts of every listed image, in list order, with the per-label counts
// over them. Built once from an index of the annotation file and then kept
// current one image at a time, so that a million images cost a pass when the
// file is reread and almost nothing when one row is saved.
class DatasetIndex
{
public:
    static constexpr int catalogueSize = 19;
    using FactsAt = std::function<ImageFacts(qsizetype position)>;

    // Holds `names` (a shallow copy) and asks `factsAt` once per position.
    void rebuild(const QStringList &names, const FactsAt &factsAt);
    void clear();

    bool isBuilt() const { return built; }
    const QStringList &names() const { return listed; }
    qsizetype size() const { return listed.size(); }

    ImageFacts facts(qsizetype position) const;
    // Replaces the facts of the image at `position`; false when they did
    // not change.
    bool update(qsizetype position, const ImageFacts &facts);
    // The position of `fileName` in the list, looking at `hint` first;
    // -1 when it is not listed.
    qsizetype positionOf(const QString &fileName, qsizetype hint = -1) const;

    int markedCount() const { return marked; }
    int labelCount(int label) const { return perLabel.at(size_t(label)); }

    bool keeps(const DatasetFilter &filter, qsizetype position) const;
    // Every position that `filter` keeps, ascending.
    std::vector<int> keptPositions(const DatasetFilter &filter) const;
    // The nearest position after (`step` 1) or before (`step` -1) `from`
    // that `filter` keeps; -1 when there is none. `from` may lie outside the
    // list: -1 starts before its first image.
    qsizetype nearestKept(const DatasetFilter &filter, qsizetype from, int step) const;

private:
    // One word per image: the 19 flags, then whether it has a row and
    // whether it is marked.
    static constexpr quint32 hasRowBit = 1u << 30;
    static constexpr quint32 markedBit = 1u << 31;
    static quint32 pack(const ImageFacts &facts);
    static bool keepsWord(const DatasetFilter &filter, quint32 word);
    void count(quint32 word, int sign);

    bool built = false;
    QStringList listed;
    std::vector<quint32> words;
    int marked = 0;
    std::array<int, catalogueSize> perLabel{};
};
