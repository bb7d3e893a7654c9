#pragma once

#include "annotationformat.h"
#include "annotationstore.h"
#include "teamaddress.h"
#include "teamworker.h"

#include <QList>
#include <QObject>
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
class TeamStore final : public QObject
{
    Q_OBJECT

public:
    using RowFacts = AnnotationStore::RowFacts;

    enum class SaveResult { Saved, Conflict, NameNotStorable, Unreachable };
    struct SaveOutcome
    {
        SaveResult result = SaveResult::Saved;
        QString annotator; // Conflict: who saved the row that stands
        QString error;     // Unreachable: why
    };

    // How long a save or a step to the next unmarked image waits for the server.
    static constexpr int answerMilliseconds = 5000;

    TeamStore(const TeamAddress &address, const QStringList &catalogue, const QString &annotator,
              QObject *parent = nullptr);
    ~TeamStore() override;

    // Connects and reads the dataset; false with the reason in `error`.
    bool open(QString *error);
    const TeamAddress &address() const { return teamAddress; }
    const QStringList &catalogue() const { return labels; }
    QString annotator() const { return annotatorName; }

    RowFacts facts(const QString &fileName) const;
    bool isMarked(const QString &fileName) const { return facts(fileName).marked; }
    QStringList storedLabels(const QString &fileName) const;
    // Who saved the row of `fileName` last and when (milliseconds since the
    // epoch); empty and 0 when it has none.
    QString savedBy(const QString &fileName) const;
    qint64 savedAt(const QString &fileName) const;
    // The image of the last marked row of the dataset as exported.
    std::optional<QString> lastMarkedName() const;

    void setListedNames(const QStringList &names);
    const QStringList &listedNames() const { return listed.names; }
    AnnotationFormat::MarkCounts markCounts() const;
    QList<qsizetype> labelCounts() const;
    qsizetype listedPosition(const QString &fileName) const;
    RowFacts listedFacts(qsizetype position) const;
    // From what is known, without asking the server.
    qsizetype nextUnmarked(qsizetype position) const;

    // The window shows `fileName`'s labels: a save of it is checked against
    // this version, and it is held for this window. An empty name lets go.
    void showing(const QString &fileName);
    // Saves the row of `fileName` with a "1" for each catalogue label in
    // `annotations`. Refused as Conflict when another window saved it after
    // this one last showed or saved it; the same save again then
    // overwrites. `waiting` is called while the answer is awaited, as
    // AnnotationFile::underLock() calls it; false ends the wait.
    SaveOutcome saveRow(const QString &fileName, const QStringList &annotations,
                        const std::function<bool()> &waiting = {});
    // The position of the first listed image after `position` that is not
    // marked and that no other window holds, now held for this one; -1
    // when there is none. Unreachable fills `error`.
    qsizetype takeNextUnmarked(qsizetype position, const std::function<bool()> &waiting,
                               QString *error);

signals:
    // What is known was read anew.
    void reloaded();
    // The row of `fileName` was saved, by this window or another; facts()
    // already has it.
    void rowSaved(const QString &fileName);
    // Another window saved the row of `fileName`.
    void savedElsewhere(const QString &fileName);

private:
    struct Listed
    {
        QStringList names;
        QHash<QString, qsizetype> positions;
        std::vector<RowFacts> facts;
        qsizetype markedCount = 0;
        QList<qsizetype> labelCounts;
    };

    bool await(const std::shared_ptr<TeamReply> &reply, int milliseconds,
               const std::function<bool()> &waiting) const;
    void adopt(std::shared_ptr<TeamSnapshot> snapshot);
    // Enters a row the server reports; true when it was news.
    bool enter(const TeamRow &row);
    void recount();
    void findLastMarked();
    static RowFacts factsOf(const TeamSnapshot::Entry &entry);

    TeamAddress teamAddress;
    QStringList labels;
    QString annotatorName;
    QString clientId;
    QThread thread;
    TeamWorker *worker = nullptr;
    std::shared_ptr<TeamSnapshot> known;
    Listed listed;
    QString lastMarked;
    QString shownImage;
    qint64 shownVersion = 0;
};
