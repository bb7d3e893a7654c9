#pragma once

#include "annotationstore.h"
#include "listedimages.h"
#include "teamdatabase.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSqlDriver>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <functional>
#include <memory>

class QSqlQuery;
class QTimer;

// What a window knows of a dataset: one entry per image with a row, the
// people and windows that saved named once each.
struct TeamSnapshot
{
    struct Entry
    {
        quint32 flags = 0;
        qint32 annotator = -1; // into `people`
        qint32 client = -1;    // into `clients`
        qint32 role = -1;      // into `roles`; -1 when not told
        qint64 version = 0;
        qint64 savedAtMs = 0;
        qint8 review = TeamRow::Unreviewed;
        // The draw of the image (isDoubled()): chosen (1), not (0), not
        // drawn yet (-1). Drawn once per name and snapshot, whose share and
        // seed never change; the snapshot is used by one thread at a time.
        mutable qint8 drawn = -1;
    };

    // An image's blind second labelling, beside its row.
    struct Second
    {
        quint32 flags = 0;
        bool saved = false;   // whether its annotator saved `flags`
        bool own = false;     // given to this window's role
        bool settled = false; // a reviewer saved the final row
        qint64 firstFlags = -1; // once settled: the dataset's row as it stood
        QString annotator; // who saved it last, or was given it
        qint64 stamp = 0;
        qint64 savedAtMs = 0;
    };

    QHash<QString, Entry> rows;
    QHash<QString, Second> seconds;
    // The role this window's connection was authenticated as, the name its
    // saves are recorded under, and whether the role reviews the dataset
    // (or owns it).
    QString ownRole;
    QString ownName;
    bool reviews = false;
    // The share of images labelled twice, in percent, and its draw's seed.
    double overlapPercent = 0;
    qint64 overlapSeed = 0;
    // The reasons of the rows sent back, by image: few rows have one.
    QHash<QString, QString> reasons;
    QStringList people;
    QStringList clients;
    QStringList roles;

    // Enters `row`, replacing an older version; false when it held this
    // version or a later one already.
    bool enter(const TeamRow &row);
    bool enterSecond(const TeamRow &row);
    QString annotatorOf(const Entry &entry) const { return people.value(entry.annotator); }
    QString clientOf(const Entry &entry) const { return clients.value(entry.client); }
    // A row is marked when it sets a catalogue label. Where this window's
    // role labels an image second, blind, its second row takes the place of
    // the dataset's in every answer: the facts, who saved and when.
    AnnotationStore::RowFacts facts(const QString &image) const;
    // The second row that stands for the image's row in this window: one
    // given to its role and not settled; null for any other image.
    const Second *blind(const QString &image) const;
    // Whether `image` waits for its second labelling and this window's role
    // may be the one to give it: chosen by the draw, its row saved by
    // another role, given to nobody yet, and this role no reviewer. Such an
    // image shows as unmarked with no row (facts(), who and when) until the
    // server gives it to a role: to this one it is then blind(), to
    // another its row shows again.
    bool waits(const QString &image) const;
    // Whether the dataset's row is this window's role's own save.
    bool savedByOwnRole(const Entry &entry) const;
    // Whether the draw puts `image` among those labelled twice, in the
    // server's arithmetic (norvanta_doubled).
    bool isDoubled(const QString &image) const;
    // The image of the last marked row of the dataset as exported; null
    // when no row is marked.
    QString lastMarkedName() const;
    // Whether the row of `name` comes after the row of `other` in the
    // exported file, which sorts its rows by their text.
    static bool rowsAfter(QStringView name, QStringView other);

private:
    bool waits(const QString &image, const Entry &entry) const;

    QHash<QString, qint32> personIndex;
    QHash<QString, qint32> clientIndex;
    QHash<QString, qint32> roleIndex;
};

// A dataset read on the worker's thread, together with what a window
// derives from it, made there too (the facts and counts of the listed
// images, the last marked row): at a million rows that is seconds of work,
// and the window only swaps it in.
struct TeamReading
{
    explicit TeamReading(qsizetype labelCount) : listed(labelCount) {}

    std::shared_ptr<TeamSnapshot> snapshot = std::make_shared<TeamSnapshot>();
    ListedImages listed;
    QString lastMarked;

    // Enters `row` into `rows` and follows it in `listed` and `last` (the
    // last marked row), as a window keeps what it knows; false when it was
    // known already.
    static bool enter(TeamSnapshot &rows, ListedImages &listed, QString &last, const TeamRow &row);
    bool enter(const TeamRow &row) { return enter(*snapshot, listed, lastMarked, row); }
    void findLastMarked() { lastMarked = snapshot->lastMarkedName(); }
};

// One answer from the worker, awaited by the thread that asked.
class TeamReply final
{
public:
    // Waits at most `milliseconds`; true once the answer is there.
    bool wait(int milliseconds);
    // False when the asker gave the answer up first (abandon()).
    bool answer(TeamOutcome outcome, std::shared_ptr<TeamReading> reading = {});
    // The asker no longer waits; false when the answer came first.
    bool abandon();
    TeamOutcome outcome() const;
    std::shared_ptr<TeamReading> reading() const;

private:
    mutable QMutex mutex;
    QWaitCondition answered;
    bool done = false;
    bool abandoned = false;
    TeamOutcome result;
    std::shared_ptr<TeamReading> read;
};

// The dataset's server work, on a thread of its own with connections of its
// own (Qt SQL connections belong to the thread that made them): one for the
// window's questions and saves, one that listens to every save. It tells the
// window by queued signals; a call that the window waits for is answered
// through a TeamReply. A call after the connection was lost connects anew.
class TeamWorker final : public QObject
{
    Q_OBJECT

public:
    TeamWorker(const TeamAddress &address, const QStringList &catalogue, const QString &annotator,
               const QString &client);
    ~TeamWorker() override;

    // Each runs on the worker's thread once it gets there; queue them with
    // QMetaObject::invokeMethod.
    void open(const std::shared_ptr<TeamReply> &reply);
    // Refused by the server after `deadlineMs` (see TeamDatabase::save()).
    void save(const QString &image, quint32 flags, qint64 knownVersion, qint64 deadlineMs,
              const std::shared_ptr<TeamReply> &reply);
    // A reviewer's word on the row of `image` (see TeamDatabase::review()).
    void review(const QString &image, qint64 knownVersion, bool accept, const QString &reason,
                const std::shared_ptr<TeamReply> &reply);
    void hold(const QString &image);
    void takeNext(const QStringList &candidates, const std::shared_ptr<TeamReply> &reply);
    // The blind second labelling (see TeamDatabase::saveSecond() and
    // takeSecond()); both are told to every window as a save is.
    void saveSecond(const QString &image, std::optional<quint32> flags, qint64 knownStamp,
                    qint64 deadlineMs, const std::shared_ptr<TeamReply> &reply);
    // With one candidate, one not given to this role comes with its second
    // row as it stands, if it has one; with no `reply`, what changed is
    // told as rowChanged().
    void takeSecond(const QStringList &candidates, const std::shared_ptr<TeamReply> &reply);
    // The window's listed images, whose facts each reading anew prepares.
    void setListedNames(const QStringList &names) { listedNames = names; }
    // Lets go of every hold and closes both connections.
    void finish();
    // Ends the statement under way on the server, if any; from any thread.
    void cancelFromAnyThread() const { database.cancelFromAnyThread(); }
    std::function<void()> cancelling() const { return database.cancelling(); }

    // The dataset as read anew last, with every save this window made since
    // entered; null once taken. Called from any thread.
    std::shared_ptr<TeamReading> takeReading();

signals:
    // Another window (or this one) saved a row; `row` is as saved.
    void rowChanged(const TeamRow &row);
    // The dataset was read anew after changes this window could not follow
    // (an import, a lost listening connection): takeReading() has it.
    void readingReady();

private:
    bool ready(QString *error);
    void learnTruth();
    void afterFailure();
    void listen();
    void announceSoon(const TeamRow &row);
    void announce();
    void tell(const QString &payload);
    void checkListener();
    void notified(const QString &channel, QSqlDriver::NotificationSource source,
                  const QVariant &message);
    void readHeard();
    std::shared_ptr<TeamReading> readAll(QString *error);
    // Reads the dataset for takeReading(); false when that failed.
    bool readAnew();
    // A row this window saved goes into a reading not yet taken, which may
    // have been read before the save.
    void enterInReading(const TeamOutcome &outcome);

    TeamDatabase database;
    TeamAddress address;
    QString listenerName;
    bool listening = false;
    // The listening connection was made anew; the dataset is read again
    // once the other connection answers.
    bool missedSaves = false;
    // The listening connection's statement that tells of saves.
    std::unique_ptr<QSqlQuery> announcing;
    // Saves not yet told, each as a notification's line.
    QStringList unannounced;
    // Images whose save nobody knows the end of: given up by the window
    // while under way, or cut off with the connection. Their rows are read
    // at the next contact with the server, and told as rowChanged().
    QStringList inDoubt;
    // The same for second rows; also those whose save the server refused,
    // which the window took for its own to label second: it learns why.
    QStringList secondsInDoubt;
    QElapsedTimer lastAnnounced;
    QTimer *announcement = nullptr;
    // The stamps the notifications named, not yet read; whether one told
    // of an import; the dataset's count of imports when it was read last.
    QList<qint64> heardStamps;
    bool heardImport = false;
    qint64 knownImports = -1;
    QTimer *hearing = nullptr;
    QTimer *renewal = nullptr;
    QTimer *listenerCheck = nullptr;
    qsizetype labelCount = 0;
    QStringList listedNames;
    QMutex readingMutex;
    std::shared_ptr<TeamReading> pendingReading;
};
