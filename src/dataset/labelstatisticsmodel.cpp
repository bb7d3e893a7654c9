#include "labelstatisticsmodel.h"

#include <algorithm>

LabelStatisticsModel::LabelStatisticsModel(const DatasetSource &source,
                                           const QStringList &catalogue, QObject *parent)
    : QAbstractTableModel(parent)
    , images(source)
    , labels(catalogue)
    , agreement(int(catalogue.size()))
{
}

void LabelStatisticsModel::setQualities(const std::vector<LabelQuality> &figures)
{
    qualities.clear();
    if (!figures.empty())
        qualities.resize(std::size_t(labels.size()));
    for (const LabelQuality &figure : figures)
        if (figure.label >= 0 && figure.label < labels.size())
            qualities[std::size_t(figure.label)] = figure;
    emit dataChanged(index(0, Marked), index(rowCount() - 1, ColumnCount - 1));
}

QVariant LabelStatisticsModel::quality(int label, int column, int role) const
{
    if (qualities.empty() || qualities[std::size_t(label)].label < 0)
        return QVariant();
    const LabelQuality &figure = qualities[std::size_t(label)];
    if (role == Qt::ToolTipRole)
        return figure.trained ? tr("按本数据集标签训练，交叉验证") : tr("模型自身的概率");
    if (column == Marked)
        return role == Qt::DisplayRole ? QVariant(QString::number(figure.withLabel))
                                       : QVariant(double(figure.withLabel));
    const double value = column == Precision ? figure.precision
        : column == Recall                   ? figure.recall
        : column == F1                       ? figure.f1
        : column == F2                       ? figure.f2
                                             : double(figure.suggestedThreshold);
    if (role == SortRole)
        return figure.enough ? value : -1.0;
    if (!figure.enough)
        return LabelQualities::insufficientText();
    return QString::number(value, 'f', column == BestThreshold ? 3 : 2);
}

// Only a team's dataset keeps second rows: a file's million images are not
// asked one by one for none.
void LabelStatisticsModel::doubleLabelsChanged()
{
    doubled.clear();
    agreement.clear();
    const qsizetype size = images.knowsWhoSaved() ? images.names().size() : 0;
    for (qsizetype position = 0; position < size; ++position) {
        if (const auto pair = images.doubleLabelsAt(position)) {
            doubled.emplace(position, *pair);
            agreement.add(pair->first, pair->second);
        }
    }
    emit dataChanged(index(0, Doubled), index(rowCount() - 1, ColumnCount - 1));
}

void LabelStatisticsModel::doubleLabelsChanged(qsizetype position)
{
    if (!images.knowsWhoSaved())
        return;
    if (const auto found = doubled.find(position); found != doubled.end()) {
        agreement.remove(found->second.first, found->second.second);
        doubled.erase(found);
    }
    if (const auto pair = images.doubleLabelsAt(position)) {
        doubled.emplace(position, *pair);
        agreement.add(pair->first, pair->second);
    }
    emit dataChanged(index(0, Doubled), index(rowCount() - 1, ColumnCount - 1));
}

QVariant LabelStatisticsModel::agreementData(int label, int column, int role) const
{
    const AgreementCounts counts = agreement.counts(label);
    switch (role) {
    case Qt::DisplayRole:
        return LabelAgreement::cells(counts).at(column - Doubled);
    case Qt::TextAlignmentRole:
        return int(Qt::AlignRight | Qt::AlignVCenter);
    case SortRole: {
        if (column == Doubled)
            return double(counts.images);
        const AgreementRatio ratio = column == DoubledShare ? LabelAgreement::share(counts)
            : column == Observed                            ? LabelAgreement::observed(counts)
            : column == Kappa                               ? LabelAgreement::kappa(counts)
                                                            : LabelAgreement::pabak(counts);
        // Below every κ, which is at least −1.
        return ratio.computable() ? ratio.value() : -2.0;
    }
    case Qt::ToolTipRole:
        if (column == Kappa && !LabelAgreement::kappa(counts).computable())
            return tr("两人对每张双标图片的判断都相同，无法计算 κ");
        return QVariant();
    }
    return QVariant();
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
    if (index.column() >= Doubled)
        return agreementData(label, index.column(), role);
    if (index.column() >= Marked) {
        if (role == Qt::TextAlignmentRole)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return role == Qt::DisplayRole || role == SortRole || role == Qt::ToolTipRole
            ? quality(label, index.column(), role)
            : QVariant();
    }
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
    case Marked:
        return tr("已标记含此标签");
    case Precision:
        return tr("精确率");
    case Recall:
        return tr("召回率");
    case F1:
        return tr("F1");
    case F2:
        return tr("F2");
    case BestThreshold:
        return tr("建议阈值");
    }
    if (section >= Doubled && section < ColumnCount)
        return LabelAgreement::headers().at(section - Doubled);
    return QVariant();
}

qsizetype LabelStatisticsModel::largestCount() const
{
    qsizetype largest = 0;
    for (int label = 0; label < rowCount(); ++label)
        largest = std::max(largest, images.labelCount(label));
    return largest;
}
