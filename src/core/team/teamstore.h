#pragma once

#include "annotationformat.h"
#include "annotationstore.h"
#include "listedimages.h"
#include "teamaddress.h"
#include "teamworker.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A team's annotations on a PostgreSQL server, for one window: what the
// window knows of the dataset (every row, kept current by the server's
// notifications of every save, its own and other windows'), the counts of
// the listed images, and the window's calls to the server (save, hold, the
// next unmarked image), which run on the worker's thread. The questions of
// the window answer from what is known, so a lost server leaves the display
// as it was; a save or Ctrl+U waits for the server, five seconds at most.
class TeamStore final : public AnnotationStore
{
    Q_OBJECT

public:
    // How long a save or a step to the next unmarked image waits for the server.
    static constexpr int answerMilliseconds = 5000;

    TeamStore(const TeamAddress &address, const QStringList &catalogue, const QString &annotator,
              QObject *parent = nullptr);
    ~TeamStore() override;

    // Connects and reads the dataset; false with the reason in `error`.
    bool open(QString *error);
    const TeamAddress &address() const { return teamAddress; }
    const QStringList &catalogue() const override { return labels; }
    QString annotator() const { return annotatorName; }

    // Notifications keep what is known current: there is nothing to look at.
    bool refresh() override { return false; }
    AnnotationText::Status status() const override { return AnnotationText::Read; }

    // A row is marked when it sets a catalogue label.
    RowFacts facts(const QString &fileName) const override;
    bool isMarked(const QString &fileName) const override { return facts(fileName).marked; }
    QStringList storedLabels(const QString &fileName) const override;
    bool knowsWhoSaved() const override { return true; }
    QString savedBy(const QString &fileName) const override;
    qint64 savedAt(const QString &fileName) const override;
    QStringList annotators() const override { return known->people; }
    // The image of the last marked row of the dataset as exported.
    std::optional<QString> lastMarkedName() const override;

    void setListedNames(const QStringList &names) override;
    const QStringList &listedNames() const { return listed.names(); }
    AnnotationFormat::MarkCounts markCounts() const override;
    QList<qsizetype> labelCounts() const override;
    qsizetype listedPosition(const QString &fileName) const override;
    RowFacts listedFacts(qsizetype position) const override;
    const std::vector<RowFacts> &listedFactsInOrder() const override { return listed.factsInOrder(); }
    // From what is known, without asking the server.
    qsizetype nextUnmarked(qsizetype position) const override;

    // The window shows `fileName`'s labels: a save of it is checked against
    // this version, and it is held for this window. An empty name lets go.
    void showing(const QString &fileName) override;
    // Saves the row of `fileName` with a "1" for each catalogue label in
    // `annotations`. Refused as Conflict when another window saved it after
    // this one last showed or saved it (refusalDetail() names who); the same
    // save again then overwrites. Labels that are the shown row as it was
    // shown are never refused: they are not written, and follow the other's
    // save. Unreachable when the server gave no answer within five seconds
    // (the server then refuses it, and is asked to end it) or the
    // connection failed before the save was sent; Unconfirmed when it
    // failed after: the next contact with the server tells the row as it
    // stands (savedElsewhere()). An image that waits for its second
    // labelling is given to this role first, and its save goes into the
    // second row; Held while another window shows it. `waiting` is called
    // while the answer is awaited; false ends the wait.
    SaveResult saveRow(const QString &fileName, const QStringList &annotations,
                                       const std::function<bool()> &waiting = {}) override;
    // The position of the first listed image after `position` that is not
    // marked and that no other window holds, now held for this one; -1
    // when there is none, or with `error` when the server failed.
    qsizetype takeNextUnmarked(qsizetype position, const std::function<bool()> &waiting,
                               QString *error) override;
    // The first of `positions` that no other window holds, now held for
    // this one.
    qsizetype takeFirstFree(const QList<qsizetype> &positions, const std::function<bool()> &waiting,
                            QString *error) override;
    QString refusalDetail() const override { return refusal; }
    // Whether `labels` are the row of the shown image `fileName` as it was
    // shown or as it stands now: such labels hold nothing of the person's,
    // follow others' saves, and a save of them writes nothing.
    bool isStoredRow(const QString &fileName, const QStringList &labels) const override;
    // The row as the annotation file would hold it, so that an undo compares
    // and puts back the same form with either home.
    QByteArray row(const QString &fileName) const override;
    // A save of the flags `replacement` holds, by saveRow()'s rules and
    // attributed to this window's annotator; a server keeps a row once saved,
    // so an empty `replacement` saves it with no label.
    SaveResult putBackRow(const QString &fileName, const QByteArray &expected,
                                          const QByteArray &replacement,
                                          const std::function<bool()> &waiting = {}) override;

    // Where this window's role labels an image second, blind, its second
    // row stands for the image's row in every answer (facts, labels, who
    // and when, review), and its save goes there; another role's saved
    // second row is told by doubleLabelsOf(). An image that waits for its
    // second labelling, which this role may be given, answers as blind
    // with no second row saved; shown or saved, it is asked for.
    std::optional<DoubleLabels> doubleLabelsOf(const QString &fileName) const override;

    bool keepsReviews() const override { return true; }
    Review reviewOf(const QString &fileName) const override;
    QString ownSentBackReason(const QString &fileName) const override;
    bool review(const QString &fileName, bool accept, const QString &reason,
                const std::function<bool()> &waiting, QString *error) override;

private:
    bool await(const std::shared_ptr<TeamReply> &reply, int milliseconds,
               const std::function<bool()> &waiting) const;
    SaveResult takeSaveOutcome(const QString &fileName, const TeamOutcome &outcome,
                               const QByteArray &before, bool unedited);
    std::optional<SaveResult> takeWaiting(const QString &fileName,
                                          const std::function<bool()> &waiting);
    SaveResult saveSecondRow(const QString &fileName, std::optional<quint32> flags,
                             TeamSnapshot::Second second, const std::function<bool()> &waiting);
    void settled(const QString &fileName);
    qsizetype takeDoubled(qsizetype position, const std::function<bool()> &waiting, QString *error);
    using Take = void (TeamWorker::*)(const QStringList &, const std::shared_ptr<TeamReply> &);
    std::optional<qsizetype> offer(Take take, const QStringList &candidates, const QList<qsizetype> &positions,
                                   qint64 milliseconds, const std::function<bool()> &waiting, QString *error);
    bool isDoubledAt(qsizetype position);
    quint32 flagsOf(const QStringList &annotations) const;
    bool isOwnRow(const QString &fileName) const;
    qsizetype takeUnmarkedAfter(qsizetype position, const std::function<bool()> &waiting,
                                QString *error);
    // Swaps in what was read; false when there was nothing.
    bool adopt(std::shared_ptr<TeamReading> reading);
    // Enters a row the server reports; true when it was news.
    bool enter(const TeamRow &row);

    TeamAddress teamAddress;
    QStringList labels;
    QString annotatorName;
    // The role saves are recorded under when no annotator is named.
    QString ownRole;
    QString clientId;
    // Left to end by itself when the server is silent at closing.
    std::unique_ptr<QThread> thread;
    TeamWorker *worker = nullptr;
    std::shared_ptr<TeamSnapshot> known;
    ListedImages listed;
    QString lastMarked;
    QString shownImage;
    // The image the server holds for this window, as far as it was told.
    QString heldImage;
    // The images this window showed with another's saved row: it is never
    // given one of them to label second, blind.
    QSet<QString> shownFirstRows;
    qint64 shownVersion = 0;
    quint32 shownFlags = 0;
    QString refusal;
    // Per listed position: whether the draw chose it (1), not (0), not yet
    // drawn (-1); for the share and seed it was drawn with.
    std::vector<qint8> drawn;
    double drawnPercent = 0;
    qint64 drawnSeed = 0;
};
