#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

// Cutting the annotation file's marked rows into a training, a validation and
// a test set that each keep every label's share, with the images of one
// group (frames of one recording, one site) kept in one set. No widget: the
// dataset window's dialog and the command line both call run().
namespace TrainingSplit {

inline constexpr int splitCount = 3;
// Percent for training, validation and test, in that order.
using Shares = std::array<int, splitCount>;

struct Settings
{
    Shares shares{80, 10, 10};
    quint32 seed = 0;
    // Empty: every image is a group of its own.
    QString pattern;
};

// "train.csv", "val.csv", "test.csv", then the report "splits.txt".
QStringList outputNames();

// "TRAIN,VAL,TEST" as whole numbers; false when the text is not three of them.
bool parseShares(QStringView text, Shares *shares);
// What is wrong with the shares or the pattern, as the person is told it;
// empty when they can be used.
QString sharesProblem(const Shares &shares);
QString patternProblem(const QString &pattern);

// The readers' row of every name in the annotation file (the first data row
// of the name) that marks its image, kept as offsets into the file's text as
// a save writes it (UTF-8, LF line ends, no byte-order mark).
class MarkedRows
{
public:
    // Unreachable: a team's dataset that could not be read from its server.
    enum Status { Read, Missing, Unreadable, NotText, ForeignHeader, Unreachable };

    // Only a file that begins with the header row of `catalogue` is read;
    // an empty file holds no rows. A team's address (`path` as
    // TeamAddress::isAddress() tells it) reads its dataset as an export
    // writes it.
    static MarkedRows read(const QString &path, const QStringList &catalogue);

    Status status() const { return readStatus; }
    // The person's message for a status other than Read.
    QString problem(const QString &path) const;

    qsizetype size() const { return qsizetype(flagsOfRow.size()); }
    // The readers' rows of names that no field "1" marks; they are not split.
    qsizetype unmarked() const { return unmarkedRows; }
    const QStringList &catalogue() const { return labels; }
    // Row `i` of the marked rows, in file order, without its line end.
    QByteArrayView row(qsizetype i) const;
    QByteArrayView name(qsizetype i) const;
    // Bit k: field k + 1 is exactly "1", for the catalogue's positions.
    quint32 flags(qsizetype i) const { return flagsOfRow[std::size_t(i)]; }

private:
    void scan(const QByteArray &header);
    // Of the data rows found by scan(), with their `facts` (the marked bit
    // included), keeps the readers' row of each name that is marked; names
    // that rise strictly (`rising`) need no look for repeats.
    void keepMarkedReadersRows(std::vector<quint32> facts, bool rising);

    Status readStatus = Missing;
    // Unreachable: why, as the person is told it.
    QString failure;
    QStringList labels;
    QByteArray text;
    std::vector<quint32> starts;
    std::vector<quint32> ends;
    std::vector<quint32> flagsOfRow;
    qsizetype unmarkedRows = 0;
};

// Which group each marked row belongs to: the first capture group of the
// pattern's first match in the row's name names it; a name that does not
// match, or whose first group takes no part in the match, is a group of its
// own. Groups are numbered in the order of their first row.
struct Groups
{
    std::vector<quint32> of;
    qsizetype count = 0;
    qsizetype unmatched = 0;
    // With a pattern, the rows of group g in file order: rows[first[g]] up
    // to rows[first[g + 1]]. Without one they stay empty: group g is row g.
    std::vector<quint32> first;
    std::vector<quint32> rows;

    template<typename Visit>
    void forEachRow(std::size_t g, Visit visit) const
    {
        if (first.empty()) {
            visit(quint32(g));
            return;
        }
        for (quint32 k = first[g]; k < first[g + 1]; ++k)
            visit(rows[k]);
    }
};
// The pattern must be valid (patternProblem() empty); an empty one makes
// every row a group of its own.
Groups group(const MarkedRows &rows, const QString &pattern);

// The split of every marked row: 0 training, 1 validation, 2 test. Every
// group is placed whole, and no row goes to a split whose share is 0.
std::vector<quint8> assign(const MarkedRows &rows, const Groups &groups, const Shares &shares,
                           quint32 seed);

// The content of one split's file: the header row, then its rows in file order.
QByteArray splitFile(const MarkedRows &rows, const std::vector<quint8> &splitOf, int split);
// The content of splits.txt.
QByteArray report(const MarkedRows &rows, const Groups &groups,
                  const std::vector<quint8> &splitOf, const Settings &settings);

// The files of outputNames() that already lie in `folder`.
QStringList existingOutputs(const QString &folder);

struct Outcome
{
    bool written = false;
    // A file could not be written (rather than the split being refused).
    bool failed = false;
    // Why nothing, or not everything, was written.
    QString problem;
    // Rows written to each split.
    std::array<qsizetype, splitCount> rows{};
};

// Reads the annotation file, splits it and writes the four files into
// `folder` (made when missing), replacing their namesakes only once all four
// are written whole: a split that fails changes no file and leaves no new
// file or folder. Files already there are replaced: the caller
// asks first. Refuses bad settings, a file that cannot be split, and a folder
// where an output would replace the annotation file itself.
Outcome run(const QString &annotationPath, const QStringList &catalogue,
            const Settings &settings, const QString &folder);

} // namespace TrainingSplit
