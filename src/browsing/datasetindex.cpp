#include "datasetindex.h"

#include <QStringMatcher>

namespace {

// The name part of a filter, prepared once to look through many names.
class NameMatch
{
public:
    explicit NameMatch(const QString &text)
        : everything(text.isEmpty())
        , matcher(text, Qt::CaseInsensitive)
    {
    }
    bool operator()(const QString &name) const { return everything || matcher.indexIn(name) >= 0; }

private:
    bool everything;
    QStringMatcher matcher;
};

} // namespace

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

// The state and label part of a filter, on one image's word.
bool DatasetIndex::keepsWord(const DatasetFilter &filter, quint32 word)
{
    switch (filter.choice) {
    case DatasetFilter::All:
        return true;
    case DatasetFilter::Marked:
        return word & markedBit;
    case DatasetFilter::Unmarked:
        return !(word & markedBit);
    case DatasetFilter::NoDefectWithDefect: {
        if (filter.noDefectLabel < 0)
            return false;
        const quint32 noDefect = 1u << filter.noDefectLabel;
        const quint32 flags = word & ((1u << catalogueSize) - 1);
        return (flags & noDefect) && (flags & ~noDefect);
    }
    default:
        return word & (1u << (filter.choice - DatasetFilter::FirstLabel));
    }
}

bool DatasetIndex::keeps(const DatasetFilter &filter, qsizetype position) const
{
    return keepsWord(filter, words[size_t(position)])
        && NameMatch(filter.nameText)(listed.at(position));
}

std::vector<int> DatasetIndex::keptPositions(const DatasetFilter &filter) const
{
    const NameMatch nameMatches(filter.nameText);
    std::vector<int> kept;
    for (qsizetype i = 0; i < size(); ++i) {
        if (keepsWord(filter, words[size_t(i)]) && nameMatches(listed.at(i)))
            kept.push_back(int(i));
    }
    return kept;
}

qsizetype DatasetIndex::nearestKept(const DatasetFilter &filter, qsizetype from, int step) const
{
    const NameMatch nameMatches(filter.nameText);
    qsizetype position = qBound(qsizetype(-1), from, size()) + step;
    for (; position >= 0 && position < size(); position += step) {
        if (keepsWord(filter, words[size_t(position)]) && nameMatches(listed.at(position)))
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
