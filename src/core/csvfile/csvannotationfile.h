#pragma once

#include "annotationfile.h"
#include "annotationformat.h"
#include "annotationstore.h"
#include "listedimages.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

// The annotation file and what its readers see in it, for one window. The
// file is read once into an index: each line's place, the readers' row of
// every name, which lines mark their name and the last of them, and for the
// listed images their marks and label counts. A question is answered from
// the index in constant time; refresh() first compares the file's identity
// on disk (one stat) with the one read and reads the file again only when it
// changed, so an edit by another program is seen by the next action. Right
// after its own save, refresh() trusts the index and the file is looked at
// again once the identity of the write has settled (by a timer, or by the
// first refresh after).
//
// A save takes the file's lock, refreshes under it, writes the whole new
// content and then updates the index from the bytes it has written, without
// reading them back. No widget: the window decides what to show.
//
// In the file's terms, a name's row is its readers' row: the first line of
// the exact name after the header; `flags` bit i of its facts is set when
// field i+1 is exactly "1". A name is marked when its first line, the header
// included, has a field after the first that is exactly "1", at any position.
class CsvAnnotationFile final : public AnnotationStore
{
    Q_OBJECT

public:
    // `catalogue` names the flag columns in order; at most 31 entries.
    CsvAnnotationFile(const QString &path, const QStringList &catalogue, QObject *parent = nullptr);
    ~CsvAnnotationFile() override;

    const QString &path() const { return filePath; }
    const QStringList &catalogue() const override { return labels; }

    // Compares the file on disk with the one read last and reads it again when
    // it changed (or was never read): then reloaded() is emitted and true
    // returned. Every question below answers from the index as it stands.
    bool refresh() override;

    // How the last read went: Missing, Unreadable (not a regular file, over
    // 512 MiB, cannot be opened or read) or Read.
    AnnotationText::Status status() const override { return index.status; }
    // Read and valid UTF-8 without a NUL byte: only such a file is rewritten.
    bool isText() const { return index.isText; }
    // Whether the file holds a line at all (lines may be empty).
    bool hasLines() const { return lineCount() > 0; }
    qsizetype lineCount() const { return qsizetype(index.starts.size()) - 1; }

    RowFacts facts(const QString &fileName) const override;
    RowFacts facts(QByteArrayView fileName) const;
    bool isMarked(const QString &fileName) const override;
    // The labels that the readers' row of `fileName` sets, named by the file's
    // own first line at the same field position.
    QStringList storedLabels(const QString &fileName) const override;
    // The first field of the last line, the first line included, that has a
    // field after the first that is exactly "1".
    std::optional<QString> lastMarkedName() const override;

    // The list of names that the counts and the search below are about, in
    // the order of their positions (the images of the open folder).
    void setListedNames(const QStringList &names) override;
    AnnotationFormat::MarkCounts markCounts() const override;
    // The position of the first listed name after `position` that is not
    // marked; -1 when there is none.
    qsizetype nextUnmarked(qsizetype position) const override;
    // How many listed names have each catalogue label set in their readers' row.
    QList<qsizetype> labelCounts() const override;
    // The first position of `fileName` among the listed names; -1 when it is
    // not listed.
    qsizetype listedPosition(const QString &fileName) const override;
    const QStringList &listedNames() const { return listed.names(); }
    // facts() of the listed name at `position`, kept with the counts, so that
    // a view of every listed image needs no lookup by name.
    RowFacts listedFacts(qsizetype position) const override;
    const std::vector<RowFacts> &listedFactsInOrder() const override { return listed.factsInOrder(); }

    // Writes the row of `fileName` with a "1" for each catalogue label found in
    // `annotations`: the readers' row of the name is replaced, or the row is
    // added, and the data rows are kept sorted. Only a regular file that
    // begins with the catalogue's header row, or holds no line at all, is
    // rewritten; on a refusal or failure the file and the index stay as
    // they were. While another program holds the file's lock, `waiting` is
    // called as AnnotationFile::underLock() calls it.
    SaveResult saveRow(const QString &fileName, const QStringList &annotations,
                                       const std::function<bool()> &waiting = {}) override;
    // The readers' row, as the file holds it without its line end. A row put
    // back goes where the rows' order puts it, as a saved row does.
    QByteArray row(const QString &fileName) const override;
    SaveResult putBackRow(const QString &fileName, const QByteArray &expected,
                                          const QByteArray &replacement,
                                          const std::function<bool()> &waiting = {}) override;

private:
    // What tells one state of the file on disk from another.
    struct Identity
    {
        bool exists = false;
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedSeconds = 0;
        qint64 modifiedNanoseconds = 0;
        qint64 changedSeconds = 0;
        qint64 changedNanoseconds = 0;
        bool operator==(const Identity &other) const;
    };

    struct Bucket
    {
        quint32 entry = 0;
        quint32 tag = 0;
    };

    struct Index
    {
        AnnotationText::Status status = AnnotationText::Missing;
        bool isText = true;
        // Every line as a save writes it: UTF-8, each line followed by "\n",
        // no byte-order mark and no CR of a CR LF.
        QByteArray text;
        // Line i spans text[starts[i], starts[i + 1] - 1); one more entry than lines.
        std::vector<quint32> starts{0};
        // Per line: bit i for field i + 1 exactly "1" (catalogue positions),
        // and markedBit for any field after the first exactly "1".
        std::vector<quint32> lineFacts;
        // Open addressing, linear probing: line + 1 of the first line from
        // line 1 on with each first field (0 for an empty bucket), beside
        // the high bits of its name's hash.
        std::vector<Bucket> buckets;
        qsizetype names = 0; // buckets taken
        qsizetype repeatedNames = 0; // rows after the first of their name
        // The lines after the first stand as sorting them leaves them: in
        // ascending order of UTF-16 code units, the rows of one name with a
        // "," in the order they had.
        bool inOrder = true;
        // Some line ends in CR: it was read from one that ended in CR CR LF,
        // and written back with "\n" its CR becomes part of its line end.
        bool crBeforeLineEnd = false;
        qsizetype lastMarked = -1;
    };

    static constexpr quint32 markedBit = 0x80000000u;

    static Identity identityOf(const QString &path);
    // Until the clock's tick of the identity's last change is past; below 0 once it is.
    static qint64 nanosecondsToSettle(const Identity &identity);
    static bool isSettled(const Identity &identity);
    bool trustsOwnWrite();
    // refresh() without the signal; true when the index changed.
    bool update();
    void rebuild(QByteArray text, bool isText);
    void recount();

    QByteArrayView line(qsizetype i) const;
    QByteArrayView firstField(qsizetype i) const;
    // The readers' row of the name given as UTF-8: the first line from line 1
    // on whose first field it is; -1 when there is none.
    qsizetype rowOf(QByteArrayView name) const;
    // The entry of `buckets` (open addressing, linear probing) whose tag is
    // the upper half of `hash` and that `matches`; -1 when there is none.
    template<typename Matches>
    static qsizetype probe(const std::vector<Bucket> &buckets, std::size_t hash, Matches matches)
    {
        if (buckets.empty())
            return -1;
        const quint32 tag = quint32(hash >> 32);
        const std::size_t mask = buckets.size() - 1;
        for (std::size_t slot = hash & mask; buckets[slot].entry != 0; slot = (slot + 1) & mask) {
            if (buckets[slot].tag == tag && matches(buckets[slot].entry - 1))
                return buckets[slot].entry - 1;
        }
        return -1;
    }
    qsizetype firstLineOf(QByteArrayView name) const;
    quint32 factsOfLine(QByteArrayView line) const;
    // Enters the first field of `line` unless it is there; false when it was.
    bool placeInSlots(qsizetype line);
    // Takes the entry of `line` out of the slots, moving the entries after
    // it in its run back where their probe would pass the gap.
    void takeFromSlots(qsizetype line);
    void growSlots();

    SaveResult replaceRow(const QString &fileName, const QByteArray *expected,
                                          const QByteArray &newRow,
                                          const std::function<bool()> &waiting);
    SaveResult rewriteLocked(const QString &fileName, const QByteArray &newRow);
    SaveResult saveInOrder(const QString &fileName, qsizetype row,
                                           const QByteArray &newRow);
    SaveResult removeInOrder(const QString &fileName, qsizetype row);
    SaveResult saveResorted(const QString &fileName, const QByteArray &newRow);
    void written(const QByteArray &content);
    void trustWritten();
    // The last marked line is no longer `line`: the last one before it.
    void findLastMarkedBefore(qsizetype line);

    QString filePath;
    QStringList labels;
    Identity identity;
    bool identityKnown = false;
    // `identity` is this store's own write, not yet settled.
    bool ownWriteUnproven = false;
    QTimer settleLook;
    Index index;
    ListedImages listed;
};
