#include "datasetindex.h"

void DatasetIndex::rebuild(const QStringList &names, const FactsAt &factsAt)
{
    listed = names;
    words.assign(size_t(names.size()), 0);
    marked = 0;
    perLabel.fill(0);
    for (qsizetype i = 0; i < names.size(); ++i) {
        const quint32 word = pack(factsAt(i));
        words[size_t(i)] = word;
        count(word, 1);
    }
    built = true;
}

void DatasetIndex::clear()
{
    *this = DatasetIndex();
}

ImageFacts DatasetIndex::facts(qsizetype position) const
{
    const quint32 word = words.at(size_t(position));
    return {(word & hasRowBit) != 0, (word & markedBit) != 0, word & ~(hasRowBit | markedBit)};
}

bool DatasetIndex::update(qsizetype position, const ImageFacts &facts)
{
    quint32 &word = words.at(size_t(position));
    const quint32 changed = pack(facts);
    if (changed == word)
        return false;
    count(word, -1);
    word = changed;
    count(word, 1);
    return true;
}

qsizetype DatasetIndex::positionOf(const QString &fileName, qsizetype hint) const
{
    if (hint >= 0 && hint < listed.size() && listed.at(hint) == fileName)
        return hint;
    return listed.indexOf(fileName);
}

bool DatasetIndex::keeps(const DatasetFilter &filter, qsizetype position) const
{
    const quint32 word = words[size_t(position)];
    switch (filter.choice) {
    case DatasetFilter::All:
        break;
    case DatasetFilter::Marked:
        if (!(word & markedBit))
            return false;
        break;
    case DatasetFilter::Unmarked:
        if (word & markedBit)
            return false;
        break;
    default:
        if (!(word & (1u << (filter.choice - DatasetFilter::FirstLabel))))
            return false;
        break;
    }
    return filter.nameText.isEmpty()
        || listed.at(position).contains(filter.nameText, Qt::CaseInsensitive);
}

std::vector<int> DatasetIndex::keptPositions(const DatasetFilter &filter) const
{
    std::vector<int> kept;
    for (qsizetype i = 0; i < size(); ++i) {
        if (keeps(filter, i))
            kept.push_back(int(i));
    }
    return kept;
}

qsizetype DatasetIndex::nearestKept(const DatasetFilter &filter, qsizetype from, int step) const
{
    qsizetype position = qBound(qsizetype(-1), from, size()) + step;
    for (; position >= 0 && position < size(); position += step) {
        if (keeps(filter, position))
            return position;
    }
    return -1;
}

quint32 DatasetIndex::pack(const ImageFacts &facts)
{
    const quint32 catalogueFlags = facts.flags & ((1u << catalogueSize) - 1);
    return catalogueFlags | (facts.hasRow ? hasRowBit : 0) | (facts.marked ? markedBit : 0);
}

void DatasetIndex::count(quint32 word, int sign)
{
    if (word & markedBit)
        marked += sign;
    for (int label = 0; label < catalogueSize; ++label) {
        if (word & (1u << label))
            perLabel[size_t(label)] += sign;
    }
}
