#include "datasetmodel.h"

#include <QDateTime>

#include <algorithm>

DatasetModel::DatasetModel(const DatasetSource &source, const QStringList &catalogue,
                           QObject *parent)
    : QAbstractTableModel(parent)
    , images(source)
    , labels(catalogue)
{
}

// Annotations read anew (another program's edit, a team's dataset after an
// import) mostly keep the rows the filter keeps: then the rows stay, with
// the view's selection and scroll position, and only what they show is
// told as changed, which costs the view the rows in sight.
void DatasetModel::reset(const DatasetFilter &chosen)
{
    std::vector<int> nowKept =
        chosen.keepsEverything() ? std::vector<int>() : chosen.keptPositions(images);
    if (chosen == filter && images.names() == shownNames && nowKept == kept) {
        if (rowCount() > 0)
            emit dataChanged(index(0, State), index(rowCount() - 1, columnCount() - 1));
        return;
    }
    beginResetModel();
    filter = chosen;
    shownNames = images.names();
    listedCount = shownNames.size();
    kept = std::move(nowKept);
    endResetModel();
}

void DatasetModel::imageChanged(qsizetype position)
{
    const int last = columnCount() - 1;
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
    if (parent.isValid())
        return 0;
    return images.knowsWhoSaved() ? ColumnCount : SavedBy;
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
    case SavedBy:
        return savedOf(position);
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
    case SavedBy:
        return tr("保存者");
    }
    return QVariant();
}

QString DatasetModel::savedOf(qsizetype position) const
{
    const QString annotator = images.savedBy(position);
    if (annotator.isEmpty())
        return QString();
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(images.savedAt(position));
    return tr("%1，%2").arg(annotator, when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
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
