#pragma once

#include "datasetfilter.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <vector>

// The listed images that the filter keeps, one row each in list order. It
// answers from the source (the session's list, the annotation source's
// listed facts), so a million rows cost a vector of positions at most, and
// nothing per row while the filter keeps everything.
class DatasetModel final : public QAbstractTableModel
{
    Q_OBJECT

public:
    // SavedBy (the annotator and time of the row's last save) is there on
    // a team's dataset only.
    enum Column { Position, FileName, State, Entries, SavedBy, ColumnCount };

    DatasetModel(const DatasetSource &source, const QStringList &catalogue,
                 QObject *parent = nullptr);

    // After the list or the annotations changed as a whole, or the filter
    // changed.
    void reset(const DatasetFilter &filter);
    // After the facts of the image at `position` changed: its row changes,
    // appears or goes, as the filter now decides.
    void imageChanged(qsizetype position);

    // The row that shows the listed image at `position`; -1 when the filter
    // hides it.
    int rowOf(qsizetype position) const;
    qsizetype positionAt(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QString entriesOf(quint32 flags) const;
    QString savedOf(qsizetype position) const;

    const DatasetSource &images;
    // The number of listed images at the last reset: the rows stand for
    // that list until the next one.
    qsizetype listedCount = 0;
    // That list (shared, not copied).
    QStringList shownNames;
    QStringList labels;
    DatasetFilter filter;
    // Unused while the filter keeps everything: row and position are one.
    std::vector<int> kept;
};
