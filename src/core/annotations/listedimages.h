#pragma once

#include "annotationformat.h"
#include "annotationstore.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// The images a store's counts and searches are about (the open folder's
// listing, in its order), with each one's facts and the counts over them.
// Every store keeps one: it gives the facts of every position once when the
// list or its rows are taken in anew, and the new facts of a name after a
// save, and answers the count line, the label counts, the positions and the
// next unmarked image from here in constant time (the search in the time of
// the marked images it passes).
class ListedImages final
{
public:
    using RowFacts = AnnotationStore::RowFacts;

    explicit ListedImages(qsizetype labelCount = 0);

    // Takes `names` and finds each one's first position; every facts entry
    // is empty until recount().
    void setNames(const QStringList &names);
    const QStringList &names() const { return listedNames; }
    qsizetype size() const { return listedNames.size(); }
    // The first position of `name`; -1 when it is not listed.
    qsizetype position(const QString &name) const;

    // Gives position i the facts `factsAt(i)` returns, i from 0 up in turn
    // (so that a lookup may start where the last one ended), and counts them.
    template<typename FactsAt>
    void recount(FactsAt factsAt)
    {
        reset();
        const qsizetype count = listedNames.size();
        for (qsizetype i = 0; i < count; ++i)
            place(i, factsAt(i));
    }
    // setNames() and recount() at once, for a `factsOf` that two threads may
    // call together: at a million names the lookups are most of the work, so
    // another thread takes the second half of the list while this one finds
    // the positions and looks up the first half.
    void setNamesAndRecount(const QStringList &names,
                            const std::function<RowFacts(const QString &)> &factsOf);

    // The facts of `name` are now `after`, at every position it stands.
    void change(const QString &name, const RowFacts &after);

    AnnotationFormat::MarkCounts markCounts() const;
    // How many listed names have each catalogue label set.
    const QList<qsizetype> &labelCounts() const { return counts; }
    // Empty facts for a position outside the list.
    RowFacts facts(qsizetype position) const;
    const std::vector<RowFacts> &factsInOrder() const { return listedFacts; }
    // The first position after `position` whose name is not marked; -1 when
    // there is none.
    qsizetype nextUnmarked(qsizetype position) const;

private:
    struct Bucket
    {
        quint32 entry = 0; // position + 1; 0 for an empty bucket
        quint32 tag = 0;   // the upper half of the name's hash
    };

    void buildPositions();
    void reset();
    void setMarked(qsizetype position, bool isMarked)
    {
        const quint64 bit = quint64(1) << (position % 64);
        quint64 &word = marked[std::size_t(position / 64)];
        word = isMarked ? word | bit : word & ~bit;
    }
    void place(qsizetype position, const RowFacts &facts)
    {
        listedFacts[std::size_t(position)] = facts;
        setMarked(position, facts.marked);
        markedCount += facts.marked;
        for (qsizetype k = 0; k < counts.size(); ++k)
            counts[k] += (facts.flags >> k) & 1u;
    }
    void replace(qsizetype position, const RowFacts &after);

    QStringList listedNames;
    // Open addressing, linear probing, twice as many buckets as names at least.
    std::vector<Bucket> positions;
    bool repeated = false;
    std::vector<RowFacts> listedFacts;
    // The marks apart from the facts, bit i of word i / 64 for position i:
    // the search for the next unmarked image passes 64 marked images at a
    // time.
    std::vector<quint64> marked;
    qsizetype markedCount = 0;
    QList<qsizetype> counts;
};
