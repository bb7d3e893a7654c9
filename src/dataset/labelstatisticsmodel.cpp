#include "labelstatisticsmodel.h"

#include <algorithm>

LabelStatisticsModel::LabelStatisticsModel(const DatasetSource &source,
                                           const QStringList &catalogue, QObject *parent)
    : QAbstractTableModel(parent)
    , images(source)
    , labels(catalogue)
{
}

void LabelStatisticsModel::countsChanged()
{
    emit dataChanged(index(0, Count), index(rowCount() - 1, ColumnCount - 1));
}

int LabelStatisticsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(labels.size());
}

int LabelStatisticsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LabelStatisticsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    const int label = index.row();
    const int count = int(images.labelCount(label));
    const qsizetype total = images.names().size();

    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case Entry:
            return labels.at(label);
        case Count:
            return count;
        case Share:
            return QStringLiteral("%1%").arg(total ? 100.0 * count / total : 0.0, 0, 'f', 1);
        }
        return QVariant();
    case Qt::TextAlignmentRole:
        if (index.column() == Count || index.column() == Share)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant();
    case SortRole:
        return index.column() == Entry ? label : count;
    case BarRole: {
        const qsizetype largest = largestCount();
        return largest ? double(count) / largest : 0.0;
    }
    }
    return QVariant();
}

QVariant LabelStatisticsModel::headerData(int section, Qt::Orientation orientation,
                                          int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Entry:
        return tr("标签");
    case Count:
        return tr("图片数");
    case Share:
        return tr("占比");
    case Bar:
        return QString();
    }
    return QVariant();
}

qsizetype LabelStatisticsModel::largestCount() const
{
    qsizetype largest = 0;
    for (int label = 0; label < rowCount(); ++label)
        largest = std::max(largest, images.labelCount(label));
    return largest;
}
