#pragma once

#include "datasetfilter.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <functional>
#include <vector>

// The listed images that the filter keeps, one row each in list order, or
// in the order of a column the person sorts by. It answers from the source
// (the session's list, the annotation source's listed facts, the model's
// suggestions), so a million rows cost a vector of positions at most, and
// nothing per row while the filter keeps everything in list order. A sorted
// order is made when asked for and kept while rows change, so that the row
// being labelled never moves away; a row that now passes the filter sorts
// it anew.
class DatasetModel final : public QAbstractTableModel
{
    Q_OBJECT

public:
    // SavedBy (the annotator and time of the row's last save) and Review
    // (a reviewer's word on it) are there on a team's dataset only; the model's columns, after the others, while
    // there is a model.
    enum Column { Position, FileName, State, Entries, SavedBy, Review, ColumnCount };
    enum ModelColumn { Suggested, Certainty, ModelColumnCount };

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
    // The column of the model's `column`; -1 while there is no model.
    int modelColumn(ModelColumn column) const;
    // Sorted by a column other than the position, ascending.
    // The likely mistakes show most doubtful first until sorted by a column.
    bool isSorted() const
    {
        return sortedBy > Position || sortedOrder != Qt::AscendingOrder
            || filter.choice == DatasetFilter::Doubtful;
    }
    // New predictions: the model's columns show them.
    void predictionsChanged();
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QString entriesOf(quint32 flags) const;
    QString doubtfulEntriesOf(qsizetype position) const;
    QString savedOf(qsizetype position) const;
    QString suggestedOf(qsizetype position) const;
    QVariant modelData(int column, qsizetype position) const;
    bool hasModel() const;
    void applySort();
    std::function<bool(int, int)> lessFor(int column) const;
    void takeOut(int row, qsizetype position);

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
    // While sorted: the position at each row, and the row of each listed
    // position (-1 when the filter hides it).
    bool modelShown = false;
    int sortedBy = -1;
    Qt::SortOrder sortedOrder = Qt::AscendingOrder;
    std::vector<int> sortedRows;
    std::vector<int> rowsOf;
};
