#include "listedimages.h"

#include <QHash>
#include <QtAlgorithms>

#include <thread>

ListedImages::ListedImages(qsizetype labelCount)
    : counts(labelCount, 0)
{
}

void ListedImages::setNames(const QStringList &names)
{
    listedNames = names;
    buildPositions();
    reset();
}

void ListedImages::buildPositions()
{
    repeated = false;
    std::size_t capacity = 16;
    while (capacity < std::size_t(listedNames.size()) * 2)
        capacity *= 2;
    positions.assign(capacity, Bucket());
    const std::size_t mask = capacity - 1;
    for (qsizetype i = 0; i < listedNames.size(); ++i) {
        const QString &name = listedNames.at(i);
        const std::size_t hash = qHash(name);
        const quint32 tag = quint32(hash >> 32);
        std::size_t slot = hash & mask;
        bool seen = false;
        for (; positions[slot].entry != 0 && !seen; slot = (slot + 1) & mask) {
            const Bucket &bucket = positions[slot];
            seen = bucket.tag == tag && listedNames.at(bucket.entry - 1) == name;
        }
        if (seen)
            repeated = true;
        else
            positions[slot] = {quint32(i + 1), tag};
    }
}

qsizetype ListedImages::position(const QString &name) const
{
    if (positions.empty())
        return -1;
    const std::size_t hash = qHash(name);
    const quint32 tag = quint32(hash >> 32);
    const std::size_t mask = positions.size() - 1;
    for (std::size_t slot = hash & mask; positions[slot].entry != 0; slot = (slot + 1) & mask) {
        const Bucket &bucket = positions[slot];
        if (bucket.tag == tag && listedNames.at(bucket.entry - 1) == name)
            return bucket.entry - 1;
    }
    return -1;
}

void ListedImages::reset()
{
    const std::size_t count = std::size_t(listedNames.size());
    listedFacts.assign(count, RowFacts());
    marked.assign((count + 63) / 64, 0);
    markedCount = 0;
    counts.fill(0);
}

namespace {

// The counts of part of the list.
struct Tally
{
    qsizetype marked = 0;
    QList<qsizetype> labels;
};

} // namespace

void ListedImages::setNamesAndRecount(const QStringList &names,
                                      const std::function<RowFacts(const QString &)> &factsOf)
{
    constexpr qsizetype shared = 50000;
    listedNames = names;
    reset();
    const qsizetype count = names.size();
    const qsizetype labels = counts.size();
    // The halves write their own entries of the facts and their own tally.
    const auto tally = [&](qsizetype from, qsizetype to, Tally *out) {
        out->labels = QList<qsizetype>(labels, 0);
        for (qsizetype i = from; i < to; ++i) {
            const RowFacts facts = factsOf(names.at(i));
            listedFacts[std::size_t(i)] = facts;
            out->marked += facts.marked;
            for (qsizetype k = 0; k < labels; ++k)
                out->labels[k] += (facts.flags >> k) & 1u;
        }
    };
    const qsizetype half = count < shared ? count : count / 2;
    Tally first, second;
    std::thread other;
    if (half < count)
        other = std::thread(tally, half, count, &second);
    buildPositions();
    tally(0, half, &first);
    if (other.joinable())
        other.join();
    // Bits of one word are not written from two threads.
    for (qsizetype i = 0; i < count; ++i)
        setMarked(i, listedFacts[std::size_t(i)].marked);
    markedCount = first.marked + second.marked;
    for (qsizetype k = 0; k < labels; ++k)
        counts[k] = first.labels.at(k) + second.labels.value(k);
}

void ListedImages::replace(qsizetype position, const RowFacts &after)
{
    const RowFacts before = listedFacts[std::size_t(position)];
    listedFacts[std::size_t(position)] = after;
    setMarked(position, after.marked);
    markedCount += qsizetype(after.marked) - qsizetype(before.marked);
    for (qsizetype k = 0; k < counts.size(); ++k)
        counts[k] += qsizetype((after.flags >> k) & 1u) - qsizetype((before.flags >> k) & 1u);
}

void ListedImages::change(const QString &name, const RowFacts &after)
{
    const qsizetype first = position(name);
    if (first < 0)
        return;
    replace(first, after);
    if (!repeated)
        return;
    for (qsizetype i = first + 1; i < listedNames.size(); ++i) {
        if (listedNames.at(i) == name)
            replace(i, after);
    }
}

AnnotationFormat::MarkCounts ListedImages::markCounts() const
{
    AnnotationFormat::MarkCounts result;
    result.marked = int(markedCount);
    result.unmarked = int(listedNames.size() - markedCount);
    return result;
}

ListedImages::RowFacts ListedImages::facts(qsizetype position) const
{
    if (position < 0 || position >= qsizetype(listedFacts.size()))
        return RowFacts();
    return listedFacts[std::size_t(position)];
}

qsizetype ListedImages::nextUnmarked(qsizetype position) const
{
    const qsizetype count = listedNames.size();
    const qsizetype from = std::max<qsizetype>(position + 1, 0);
    if (from >= count)
        return -1;
    // The bits past the last position are 0, as if unmarked: a find there
    // is no find.
    std::size_t word = std::size_t(from / 64);
    quint64 unmarked = ~marked[word] & (~quint64(0) << (from % 64));
    while (unmarked == 0) {
        if (++word == marked.size())
            return -1;
        unmarked = ~marked[word];
    }
    const qsizetype found = qsizetype(word) * 64 + qCountTrailingZeroBits(unmarked);
    return found < count ? found : -1;
}
