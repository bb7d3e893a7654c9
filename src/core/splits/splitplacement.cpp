// Iterative stratification (Sechidis, Tsoumakas and Vlahavas, 2011): the
// rarest label is placed first, each of its groups going to the split that
// still lacks that label most, so the rare labels, which a random cut
// scatters worst, are spread before the common ones leave no choice.
//
// Every count that decides a placement is an integer (rows times percent),
// and every draw comes from a 64-bit Mersenne twister mapped to a range by
// rejection, so that the same rows, shares, seed and groups give the same
// splits on any platform.
#include "trainingsplit.h"

#include <QVarLengthArray>
#include <QtAlgorithms>

#include <algorithm>
#include <array>
#include <random>

namespace TrainingSplit {

namespace {

// Uniform in [0, n): draws below 2^64 mod n are thrown away, so that every
// value is equally likely, whatever the standard library.
quint64 below(std::mt19937_64 &random, quint64 n)
{
    const quint64 skipped = (0 - n) % n;
    for (;;) {
        const quint64 value = random();
        if (value >= skipped)
            return value % n;
    }
}

// The groups in the order drawn from the split's seed, each with what it holds: for
// every column it touches (a label, or the rows in the last column) its
// number of rows there. Kept sparse, since most rows carry a label or two,
// and laid out in the drawn order, so that every pass over the groups reads
// memory front to back.
class Placement
{
public:
    struct Entry
    {
        quint32 column;
        quint32 count;
    };

    Placement(const MarkedRows &rows, const Groups &groups, const Shares &shares, quint32 seed)
        : random(seed)
        , shares(shares)
        , labels(std::size_t(rows.catalogue().size()))
        , rowsColumn(labels)
    {
        const std::size_t groupCount = std::size_t(groups.count);
        // The file's order (rows sorted by name) must not decide which frames
        // go where.
        order.resize(groupCount);
        for (std::size_t k = 0; k < groupCount; ++k)
            order[k] = quint32(k);
        for (std::size_t k = groupCount; k > 1; --k)
            std::swap(order[k - 1], order[below(random, k)]);
        describe(rows, groups);
        splitAt.assign(groupCount, 0);
    }

    // Places every group by stratification, then improves on it.
    void placeAll(bool trades)
    {
        stratify();
        refine(trades);
    }

    // The split of every group, by its number.
    std::vector<quint8> splitOfGroups() const
    {
        std::vector<quint8> split(order.size());
        for (std::size_t k = 0; k < order.size(); ++k)
            split[order[k]] = splitAt[k];
        return split;
    }

private:
    void describe(const MarkedRows &rows, const Groups &groups)
    {
        const std::size_t groupCount = order.size();
        std::vector<qint64> totals(labels + 1, 0);
        std::size_t bound = groupCount;
        for (qsizetype i = 0; i < rows.size(); ++i)
            bound += std::size_t(qPopulationCount(rows.flags(i)));
        entries.reserve(bound);
        first.reserve(groupCount + 1);
        mask.reserve(groupCount);
        first.push_back(0);

        std::vector<quint32> counts(labels + 1, 0);
        for (const quint32 g : order) {
            quint32 held = 0;
            const auto count = [&](quint32 i) {
                const quint32 flags = rows.flags(i);
                held |= flags;
                ++counts[rowsColumn];
                for (quint32 rest = flags; rest; rest &= rest - 1)
                    ++counts[qCountTrailingZeroBits(rest)];
            };
            groups.forEachRow(g, count);
            for (quint32 rest = held; rest; rest &= rest - 1) {
                const quint32 column = qCountTrailingZeroBits(rest);
                entries.push_back({column, counts[column]});
                totals[column] += counts[column];
                counts[column] = 0;
            }
            entries.push_back({quint32(rowsColumn), counts[rowsColumn]});
            totals[rowsColumn] += counts[rowsColumn];
            counts[rowsColumn] = 0;
            first.push_back(quint32(entries.size()));
            mask.push_back(held);
        }

        left.assign(totals.begin(), totals.end() - 1);
        for (int j = 0; j < splitCount; ++j) {
            if (shares[j] > 0)
                open.push_back(j);
            lack[j].resize(labels + 1);
            for (std::size_t c = 0; c <= labels; ++c)
                lack[j][c] = qint64(shares[j]) * totals[c];
        }
    }

    const Entry *begin(std::size_t k) const { return entries.data() + first[k]; }
    const Entry *end(std::size_t k) const { return entries.data() + first[k + 1]; }

    void place(std::size_t k, int split)
    {
        splitAt[k] = quint8(split);
        for (const Entry *e = begin(k); e != end(k); ++e)
            lack[split][e->column] -= 100 * qint64(e->count);
    }

    void shift(std::size_t k, int from, int to)
    {
        for (const Entry *e = begin(k); e != end(k); ++e) {
            lack[from][e->column] += 100 * qint64(e->count);
            lack[to][e->column] -= 100 * qint64(e->count);
        }
        splitAt[k] = quint8(to);
    }

    // The open split that lacks `column` most, then rows most, then one of
    // those drawn.
    int choose(std::size_t column)
    {
        QVarLengthArray<int, splitCount> best;
        for (const int j : open) {
            if (!best.isEmpty()) {
                const int b = best.first();
                const qint64 ahead = lack[j][column] != lack[b][column]
                    ? lack[j][column] - lack[b][column]
                    : lack[j][rowsColumn] - lack[b][rowsColumn];
                if (ahead < 0)
                    continue;
                if (ahead > 0)
                    best.clear();
            }
            best.append(j);
        }
        return best.size() == 1 ? best.first() : best.at(qsizetype(below(random, quint64(best.size()))));
    }

    // While rows are left: the label with the fewest rows still to place (ties
    // drawn), each of its groups to the split that lacks it most; groups
    // without a label last, by the rows.
    void stratify()
    {
        std::vector<bool> placed(order.size(), false);
        for (;;) {
            QVarLengthArray<std::size_t, 32> rarest;
            for (std::size_t l = 0; l < labels; ++l) {
                if (left[l] == 0 || (!rarest.isEmpty() && left[l] > left[rarest.first()]))
                    continue;
                if (!rarest.isEmpty() && left[l] < left[rarest.first()])
                    rarest.clear();
                rarest.append(l);
            }
            if (rarest.isEmpty())
                break;
            const std::size_t label = rarest.at(qsizetype(below(random, quint64(rarest.size()))));
            const quint32 bit = 1u << label;
            for (std::size_t k = 0; k < order.size(); ++k) {
                if (placed[k] || !(mask[k] & bit))
                    continue;
                placed[k] = true;
                place(k, choose(label));
                for (const Entry *e = begin(k); e != end(k); ++e) {
                    if (e->column != rowsColumn)
                        left[e->column] -= e->count;
                }
            }
        }
        for (std::size_t k = 0; k < order.size(); ++k) {
            if (!placed[k])
                place(k, choose(rowsColumn));
        }
    }

    // Stratification places a group by the rarest label it holds; a group of
    // several rows usually holds the common labels too, which then land where
    // the rare ones sent them. Moving a group to another split, or trading
    // two groups between splits, while that lowers the sum of the squared
    // misses of every label and of the rows (in hundredths of a row, so
    // exactly) brings them back near their shares. A pass visits the groups
    // in the drawn order; one that changes nothing, or the last allowed, ends
    // it. Each group is offered in trade to the groups after it in that
    // order only, which bounds the work whatever their number.
    void refine(bool trades)
    {
        constexpr int mostPasses = 50;
        const std::size_t partners = std::min<std::size_t>(64, order.empty() ? 0 : order.size() - 1);
        std::vector<qint64> delta(labels + 1, 0);
        for (int pass = 0; pass < mostPasses; ++pass) {
            bool changed = false;
            for (std::size_t k = 0; k < order.size(); ++k) {
                changed |= moveBetter(k);
                for (std::size_t t = 1; trades && t <= partners; ++t)
                    changed |= tradeBetter(k, (k + t) % order.size(), delta);
            }
            if (!changed)
                break;
        }
    }

    // With c what the group holds in a column, a and b what the splits lack
    // there: (a + c)^2 - a^2 + (b - c)^2 - b^2 = 2c(a - b + c).
    bool moveBetter(std::size_t k)
    {
        const int from = splitAt[k];
        int best = from;
        qint64 bestChange = 0;
        for (const int to : open) {
            if (to == from)
                continue;
            qint64 change = 0;
            for (const Entry *e = begin(k); e != end(k); ++e) {
                const qint64 c = 100 * qint64(e->count);
                change += 2 * c * (lack[from][e->column] - lack[to][e->column] + c);
            }
            if (change < bestChange) {
                bestChange = change;
                best = to;
            }
        }
        if (best == from)
            return false;
        shift(k, from, best);
        return true;
    }

    // With d what the second group holds less what the first holds, a and b
    // what their splits lack: (a - d)^2 - a^2 + (b + d)^2 - b^2 = 2d(b - a + d).
    bool tradeBetter(std::size_t k, std::size_t m, std::vector<qint64> &delta)
    {
        const int a = splitAt[k];
        const int b = splitAt[m];
        if (a == b)
            return false;
        for (const Entry *e = begin(k); e != end(k); ++e)
            delta[e->column] -= 100 * qint64(e->count);
        for (const Entry *e = begin(m); e != end(m); ++e)
            delta[e->column] += 100 * qint64(e->count);
        qint64 change = 0;
        const auto add = [&](quint32 c) {
            const qint64 d = delta[c];
            change += 2 * d * (lack[b][c] - lack[a][c] + d);
            delta[c] = 0;
        };
        for (const Entry *e = begin(k); e != end(k); ++e)
            add(e->column);
        for (const Entry *e = begin(m); e != end(m); ++e)
            add(e->column);
        if (change >= 0)
            return false;
        shift(k, a, b);
        shift(m, b, a);
        return true;
    }

    std::mt19937_64 random;
    const Shares &shares;
    std::size_t labels;
    std::size_t rowsColumn;
    // Splits with a share of 0 take nothing, however little the others lack.
    QVarLengthArray<int, splitCount> open;
    std::vector<quint32> order;
    // By position in the drawn order.
    std::vector<quint32> first;
    std::vector<Entry> entries;
    std::vector<quint32> mask;
    std::vector<quint8> splitAt;
    // Rows of each label not placed yet.
    std::vector<qint64> left;
    // Per split and column, what it lacks to reach its share, in rows times
    // percent: a split's share of a count is shares[j] * count / 100 rows, so
    // these stay whole numbers. Below zero, it holds more than its share.
    std::array<std::vector<qint64>, splitCount> lack;
};

} // namespace

std::vector<quint8> assign(const MarkedRows &rows, const Groups &groups, const Shares &shares,
                           quint32 seed)
{
    Placement placement(rows, groups, shares, seed);
    // Single rows are placed within a row of every share already; trading
    // them would only shuffle.
    placement.placeAll(groups.count < rows.size());
    const std::vector<quint8> splitOfGroup = placement.splitOfGroups();
    std::vector<quint8> splitOf(groups.of.size());
    for (std::size_t i = 0; i < groups.of.size(); ++i)
        splitOf[i] = splitOfGroup[groups.of[i]];
    return splitOf;
}

} // namespace TrainingSplit
