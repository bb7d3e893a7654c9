#pragma once

#include "datasetsource.h"
#include "labelagreement.h"
#include "labelquality.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <unordered_map>

// One row per catalogue entry, in catalogue order: the entry, how many
// listed images set it, that number as a share of the listed images, and a
// bar; then, for the labels the suggestions cover, how well they agree with
// the marked images: how many have the label, precision, recall, F1 and F2
// at the label's threshold, and the threshold that maximises F2; then, over
// the listed images of a team's dataset that two annotators labelled blind,
// how far the two agree (see LabelAgreement). SortRole gives every column a
// key that sorts it meaningfully.
class LabelStatisticsModel final : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        Entry,
        Count,
        Share,
        Bar,
        Marked,
        Precision,
        Recall,
        F1,
        F2,
        BestThreshold,
        Doubled,
        DoubledShare,
        Observed,
        Kappa,
        Pabak,
        ColumnCount
    };
    enum Role {
        SortRole = Qt::UserRole,
        // The bar's length, from 0 to 1: the count over the largest count.
        BarRole,
    };

    LabelStatisticsModel(const DatasetSource &source, const QStringList &catalogue,
                         QObject *parent = nullptr);

    // After the counts of the source changed.
    void countsChanged();
    // The suggestions' figures, one per label they cover; none without a
    // model.
    void setQualities(const std::vector<LabelQuality> &qualities);
    bool hasQualities() const { return !qualities.empty(); }
    // Reads every listed image's two labellings anew, or only those of the
    // image at `position`, which changed.
    void doubleLabelsChanged();
    void doubleLabelsChanged(qsizetype position);
    bool hasDoubleLabels() const { return agreement.images() > 0; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    qsizetype largestCount() const;
    QVariant quality(int label, int column, int role) const;
    QVariant agreementData(int label, int column, int role) const;

    const DatasetSource &images;
    QStringList labels;
    // By catalogue label; label -1 where the suggestions say nothing.
    std::vector<LabelQuality> qualities;
    // The two labellings of each doubly-labelled listed image, by position,
    // and their tables: a save changes one pair, not a pass over the list.
    std::unordered_map<qsizetype, AnnotationStore::DoubleLabels> doubled;
    AgreementTally agreement;
};
