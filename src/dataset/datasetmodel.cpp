#include "datasetmodel.h"

#include "labelcatalogue.h"
#include "suggestions.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <functional>

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
    if (chosen == filter && images.names() == shownNames && nowKept == kept
        && hasModel() == modelShown) {
        if (rowCount() > 0)
            emit dataChanged(index(0, State), index(rowCount() - 1, columnCount() - 1));
        return;
    }
    beginResetModel();
    filter = chosen;
    shownNames = images.names();
    listedCount = shownNames.size();
    kept = std::move(nowKept);
    modelShown = hasModel();
    applySort();
    endResetModel();
}

void DatasetModel::imageChanged(qsizetype position)
{
    const int last = columnCount() - 1;
    if (position < 0 || position >= listedCount || listedCount != images.names().size())
        return;
    if (filter.keepsEverything()) {
        const int row = rowOf(position);
        emit dataChanged(index(row, State), index(row, last));
        return;
    }
    const auto place = std::lower_bound(kept.begin(), kept.end(), int(position));
    const int row = int(place - kept.begin());
    const bool wasKept = place != kept.end() && *place == position;
    const bool keptNow = filter.keeps(images, position);
    if (wasKept && keptNow) {
        emit dataChanged(index(rowOf(position), State), index(rowOf(position), last));
    } else if (wasKept && isSorted()) {
        takeOut(rowOf(position), position);
        kept.erase(place);
    } else if (keptNow && isSorted()) {
        beginResetModel();
        kept.insert(place, int(position));
        applySort();
        endResetModel();
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
    if (isSorted())
        return rowsOf.at(size_t(position));
    if (filter.keepsEverything())
        return int(position);
    const auto place = std::lower_bound(kept.begin(), kept.end(), int(position));
    return place != kept.end() && *place == position ? int(place - kept.begin()) : -1;
}

qsizetype DatasetModel::positionAt(int row) const
{
    if (isSorted())
        return sortedRows.at(size_t(row));
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
    return (images.knowsWhoSaved() ? ColumnCount : SavedBy) + (modelShown ? ModelColumnCount : 0);
}

bool DatasetModel::hasModel() const
{
    return images.suggestions() && images.suggestions()->hasModel();
}

int DatasetModel::modelColumn(ModelColumn column) const
{
    return modelShown ? (images.knowsWhoSaved() ? ColumnCount : SavedBy) + column : -1;
}

void DatasetModel::predictionsChanged()
{
    if (modelShown && rowCount() > 0)
        emit dataChanged(index(0, modelColumn(Suggested)),
                         index(rowCount() - 1, modelColumn(Certainty)));
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
    if (modelShown && index.column() >= modelColumn(Suggested))
        return modelData(index.column() - modelColumn(Suggested), position);
    switch (index.column()) {
    case Position:
        return QString::number(position + 1);
    case FileName:
        return images.names().at(position);
    case State:
        return images.factsAt(position).marked ? tr("已标记") : tr("未标记");
    case Entries:
        return filter.choice == DatasetFilter::Doubtful
            ? doubtfulEntriesOf(position)
            : entriesOf(images.factsAt(position).flags);
    case SavedBy:
        return savedOf(position);
    case Review:
        switch (images.reviewAt(position)) {
        case AnnotationStore::Accepted:
            return tr("已审核");
        case AnnotationStore::SentBack:
            return tr("已退回");
        case AnnotationStore::Unreviewed:
            break;
        }
        return QString();
    }
    return QVariant();
}

QVariant DatasetModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal
        || (role != Qt::DisplayRole && !(role == Qt::ToolTipRole && modelShown)))
        return QAbstractTableModel::headerData(section, orientation, role);
    if (modelShown && section == modelColumn(Suggested))
        return role == Qt::DisplayRole ? tr("建议")
                                       : tr("模型建议的标签：概率不低于其阈值的标签");
    if (modelShown && section == modelColumn(Certainty))
        return role == Qt::DisplayRole
            ? tr("把握")
            : tr("模型的把握：各标签的概率与其阈值之差中最小的一个；越小越没有把握");
    if (role != Qt::DisplayRole)
        return QVariant();
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
    case Review:
        return tr("审核");
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

// The saved labels, then the labels the suggestions doubt, with their saved
// value and the suggestion's probability.
QString DatasetModel::doubtfulEntriesOf(qsizetype position) const
{
    QStringList doubts;
    for (const DoubtfulLabel &doubt : images.suggestions()->doubtfulLabelsAt(position))
        doubts.append(QStringLiteral("%1=%2 %3")
                          .arg(labelCode(labels.at(doubt.label)))
                          .arg(doubt.saved ? 1 : 0)
                          .arg(double(doubt.probability), 0, 'f', 2));
    const QString saved = entriesOf(images.factsAt(position).flags);
    return doubts.isEmpty() ? saved : tr("%1 | 可能标错：%2").arg(saved, doubts.join(u' '));
}

QVariant DatasetModel::modelData(int column, qsizetype position) const
{
    const float certainty = images.suggestions()->certaintyAt(position);
    if (std::isnan(certainty))
        return QString();
    if (column == Suggested)
        return suggestedOf(position);
    return QString::number(certainty, 'f', 2);
}

QString DatasetModel::suggestedOf(qsizetype position) const
{
    const quint32 flags = images.suggestions()->suggestedFlagsAt(position);
    QStringList codes;
    for (qsizetype label = 0; label < labels.size(); ++label) {
        if (flags & (1u << label))
            codes.append(labelCode(labels.at(label)));
    }
    return codes.join(u' ');
}

void DatasetModel::sort(int column, Qt::SortOrder order)
{
    if (column == sortedBy && order == sortedOrder)
        return;
    beginResetModel();
    sortedBy = column;
    sortedOrder = order;
    applySort();
    endResetModel();
}

// Rows of equal keys stay in list order, whichever way the column sorts;
// an image without a prediction sorts after every predicted one.
void DatasetModel::applySort()
{
    sortedRows.clear();
    rowsOf.clear();
    if (!isSorted())
        return;
    sortedRows = kept;
    if (filter.keepsEverything()) {
        sortedRows.resize(size_t(listedCount));
        for (size_t i = 0; i < sortedRows.size(); ++i)
            sortedRows[i] = int(i);
    }
    // The model's columns count after every column of the table's own.
    const int column = modelShown && sortedBy >= modelColumn(Suggested)
        ? ColumnCount + 1 + sortedBy - modelColumn(Suggested)
        : sortedBy;
    const Suggestions *model = images.suggestions();
    const bool byDoubt = sortedBy <= Position && sortedOrder == Qt::AscendingOrder;
    const std::function<bool(int, int)> less = byDoubt
        ? std::function<bool(int, int)>([model](int a, int b) {
              return model ? model->doubtfulRankAt(a) < model->doubtfulRankAt(b) : a < b;
          })
        : lessFor(column);
    const bool modelKey = column > ColumnCount && !byDoubt;
    const bool descending = sortedOrder == Qt::DescendingOrder;
    std::stable_sort(sortedRows.begin(), sortedRows.end(), [&](int a, int b) {
        if (modelKey) {
            const bool predictedA = !std::isnan(model->certaintyAt(a));
            const bool predictedB = !std::isnan(model->certaintyAt(b));
            if (predictedA != predictedB)
                return predictedA;
            if (!predictedA)
                return false;
        }
        return descending ? less(b, a) : less(a, b);
    });
    rowsOf.assign(size_t(listedCount), -1);
    for (size_t row = 0; row < sortedRows.size(); ++row)
        rowsOf[size_t(sortedRows[row])] = int(row);
}

// A sorted row the filter no longer keeps goes; the rows after it move up.
void DatasetModel::takeOut(int row, qsizetype position)
{
    beginRemoveRows(QModelIndex(), row, row);
    sortedRows.erase(sortedRows.begin() + row);
    rowsOf[size_t(position)] = -1;
    for (size_t later = size_t(row); later < sortedRows.size(); ++later)
        rowsOf[size_t(sortedRows[later])] = int(later);
    endRemoveRows();
}

std::function<bool(int, int)> DatasetModel::lessFor(int column) const
{
    const Suggestions *model = images.suggestions();
    const std::vector<ImageFacts> &facts = images.facts();
    switch (column) {
    case FileName:
        return [this](int a, int b) { return shownNames.at(a) < shownNames.at(b); };
    case State:
        return [&facts](int a, int b) {
            return facts[size_t(a)].marked < facts[size_t(b)].marked;
        };
    case Entries:
        return [&facts](int a, int b) {
            const quint32 x = facts[size_t(a)].flags, y = facts[size_t(b)].flags;
            return qPopulationCount(x) != qPopulationCount(y)
                ? qPopulationCount(x) < qPopulationCount(y)
                : x < y;
        };
    case SavedBy:
        return [this](int a, int b) {
            const QString x = images.savedBy(a), y = images.savedBy(b);
            return x != y ? x < y : images.savedAt(a) < images.savedAt(b);
        };
    case Review:
        return [this](int a, int b) { return images.reviewAt(a) < images.reviewAt(b); };
    case ColumnCount + 1 + Suggested:
        return [model](int a, int b) {
            return model->suggestedFlagsAt(a) < model->suggestedFlagsAt(b);
        };
    case ColumnCount + 1 + Certainty:
        return [model](int a, int b) { return model->certaintyAt(a) < model->certaintyAt(b); };
    default:
        return [](int a, int b) { return a < b; };
    }
}
