#include "datasetmodel.h"

#include <algorithm>

DatasetModel::DatasetModel(const DatasetSource &source, const QStringList &catalogue,
                           QObject *parent)
    : QAbstractTableModel(parent)
    , images(source)
    , labels(catalogue)
{
}

void DatasetModel::reset(const DatasetFilter &chosen)
{
    beginResetModel();
    filter = chosen;
    listedCount = images.names().size();
    kept = filter.keepsEverything() ? std::vector<int>() : filter.keptPositions(images);
    endResetModel();
}

void DatasetModel::imageChanged(qsizetype position)
{
    const int last = ColumnCount - 1;
    if (position < 0 || position >= listedCount || listedCount != images.names().size())
        return;
    if (filter.keepsEverything()) {
        emit dataChanged(index(int(position), State), index(int(position), last));
        return;
    }
    const auto place = std::lower_bound(kept.begin(), kept.end(), int(position));
    const int row = int(place - kept.begin());
    const bool wasKept = place != kept.end() && *place == position;
    const bool keptNow = filter.keeps(images, position);
    if (wasKept && keptNow) {
        emit dataChanged(index(row, State), index(row, last));
    } else if (wasKept) {
        beginRemoveRows(QModelIndex(), row, row);
        kept.erase(place);
        endRemoveRows();
    } else if (keptNow) {
        beginInsertRows(QModelIndex(), row, row);
        kept.insert(place, int(position));
        endInsertRows();
    }
}

int DatasetModel::rowOf(qsizetype position) const
{
    if (position < 0 || position >= listedCount)
        return -1;
    if (filter.keepsEverything())
        return int(position);
    const auto place = std::lower_bound(kept.begin(), kept.end(), int(position));
    return place != kept.end() && *place == position ? int(place - kept.begin()) : -1;
}

qsizetype DatasetModel::positionAt(int row) const
{
    return filter.keepsEverything() ? row : kept.at(size_t(row));
}

int DatasetModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(filter.keepsEverything() ? listedCount : qsizetype(kept.size()));
}

int DatasetModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DatasetModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    if (role == Qt::TextAlignmentRole && index.column() == Position)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();

    const qsizetype position = positionAt(index.row());
    // A new listing is shown once the main window's operation is over; a
    // box it opens meanwhile may let this view paint.
    if (position >= images.names().size())
        return QVariant();
    switch (index.column()) {
    case Position:
        return QString::number(position + 1);
    case FileName:
        return images.names().at(position);
    case State:
        return images.factsAt(position).marked ? tr("已标记") : tr("未标记");
    case Entries:
        return entriesOf(images.factsAt(position).flags);
    }
    return QVariant();
}

QVariant DatasetModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Position:
        return tr("序号");
    case FileName:
        return tr("文件名");
    case State:
        return tr("状态");
    case Entries:
        return tr("标签");
    }
    return QVariant();
}

QString DatasetModel::entriesOf(quint32 flags) const
{
    QStringList entries;
    for (qsizetype label = 0; label < labels.size(); ++label) {
        if (flags & (1u << label))
            entries.append(labels.at(label));
    }
    return entries.join(QStringLiteral(", "));
}
