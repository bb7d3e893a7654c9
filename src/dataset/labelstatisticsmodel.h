#pragma once

#include "datasetsource.h"

#include <QAbstractTableModel>
#include <QStringList>

// One row per catalogue entry, in catalogue order: the entry, how many
// listed images set it, that number as a share of the listed images, and a
// bar. SortRole gives every column a key that sorts it meaningfully.
class LabelStatisticsModel final : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Entry, Count, Share, Bar, ColumnCount };
    enum Role {
        SortRole = Qt::UserRole,
        // The bar's length, from 0 to 1: the count over the largest count.
        BarRole,
    };

    LabelStatisticsModel(const DatasetSource &source, const QStringList &catalogue,
                         QObject *parent = nullptr);

    // After the counts of the source changed.
    void countsChanged();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    qsizetype largestCount() const;

    const DatasetSource &images;
    QStringList labels;
};
