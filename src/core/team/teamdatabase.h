#pragma once

#include "teamaddress.h"

#include <QCoreApplication>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class QSqlError;
class QSqlQuery;

// One image's row in a team's dataset, as the server has it.
struct TeamRow
{
    QString image;
    quint32 flags = 0;   // bit i: catalogue entry i
    qint64 version = 0;  // 0: no row; every save adds one
    QString annotator;   // who saved it last
    QString role;        // the role that saved it last; empty when not told
    qint64 savedAtMs = 0; // when, in milliseconds since the epoch (UTC)
    QString client;      // the window that saved it last
    qint64 stamp = 0;    // the save's number, from one sequence for all rows
    // A reviewer's word on the row since its last save, and the reason of
    // a send back (one line).
    enum Review { Unreviewed = 0, Accepted = 1, SentBack = 2 };
    int review = Unreviewed;
    QString reason;
    // A row of norvanta_second_rows instead: the blind second labelling of
    // the image, beside the dataset's row. `version` is then its stamp,
    // `saved` whether its annotator saved flags yet, `role` the role it is
    // given to, and once a reviewer settled the image `firstFlags` holds the
    // dataset's row as it stood then.
    bool second = false;
    bool saved = true;
    qint64 firstFlags = -1;
    bool settled = false;
};

// The outcome of one call to the server. `lost` tells a failure of the
// connection from a refusal of the statement, so that the next call knows
// to connect anew.
struct TeamOutcome
{
    // Unconfirmed: the connection failed after the call was sent, so that
    // it may have been committed; nobody knows until the row is read again.
    enum Kind { Done, Conflict, Failed, Unconfirmed };
    Kind kind = Done;
    QString error;
    TeamRow row; // Done: the row as saved; Conflict: the row that stands
    QString taken; // takeNext(): the image now held, empty when none; open(): the role
};

// A team's dataset on a PostgreSQL server, through one Qt SQL connection of
// the thread that made this object; it must be used on that thread only.
// Every value is a bound parameter. The tables, the view, the functions and
// their rights are made by TeamSchema and described in the README; the
// statements that use them live here, in one place.
class TeamDatabase final
{
    Q_DECLARE_TR_FUNCTIONS(TeamDatabase)

public:
    // `client` names this window among all that save into the server (a
    // fresh identifier per run); `catalogue` the flag columns in order.
    TeamDatabase(const TeamAddress &address, const QStringList &catalogue,
                 const QString &annotator, const QString &client);
    ~TeamDatabase();
    TeamDatabase(const TeamDatabase &) = delete;
    TeamDatabase &operator=(const TeamDatabase &) = delete;

    // Connects when not connected, creates or brings up to date what is
    // missing of the schema when the role owns it, and finds the dataset
    // (the owner's open adds a new one; a member's role must have been
    // granted it). False with the reason in `error`, which never holds a
    // password.
    bool open(QString *error);
    bool isOpen() const { return datasetId > 0; }
    // The server ends any statement of this connection that runs longer,
    // from the next connection on; 0 lets them run.
    void setStatementTimeout(int milliseconds) { statementMilliseconds = milliseconds; }
    void close();
    QString connectionName() const { return name; }
    const TeamAddress &address() const { return teamAddress; }
    QString annotator() const { return annotatorName; }
    QString client() const { return clientId; }
    qint32 dataset() const { return datasetId; }
    // The role the server authenticated, once open.
    QString role() const { return sessionRole; }

    // Every row of the dataset, handed over one at a time, in no order.
    bool readAll(const std::function<void(TeamRow &&)> &take, QString *error);
    // Saves `flags` for `image` unless another window saved it after the
    // version this window knows (`knownVersion`, 0 for no row): then the
    // outcome is Conflict with the row that stands. Records the history in
    // the same transaction; the listeners are told apart (announce()). The
    // server refuses it when it would run or commit after `deadlineMs`
    // (this machine's clock, milliseconds since the epoch; 0 for none).
    TeamOutcome save(const QString &image, quint32 flags, qint64 knownVersion,
                     qint64 deadlineMs = 0);
    // A reviewer's acceptance, or send back with `reason`, of the row of
    // `image` at `knownVersion`: Done with the row as reviewed, else Failed
    // with the reason a person reads.
    TeamOutcome review(const QString &image, qint64 knownVersion, bool accept, const QString &reason);
    // The second annotator's save of `image` into the second row given to
    // this role, by save()'s rules against the stamp `knownStamp`; no
    // `flags` makes the row unsaved again. Done or Conflict with a second row.
    TeamOutcome saveSecond(const QString &image, std::optional<quint32> flags, qint64 knownStamp,
                           qint64 deadlineMs = 0);
    // Gives this role the blind second labelling of the first of
    // `candidates` that may have it, held for this window: `taken` names it
    // (empty when none) and `row` is its second row.
    TeamOutcome takeSecond(const QStringList &candidates);
    // The share of the dataset's images labelled twice, in percent, and the
    // seed they are drawn with (0 until a share was first set); `reviews`
    // whether this role reviews the dataset (or owns it).
    bool readOverlap(double *percent, qint64 *seed, QString *error, bool *reviews = nullptr);
    // Sets that share; its seed is drawn at the first. Only the owner may.
    bool setOverlap(double percent, QString *error);
    // The second row of `image` as the server has it now (stamp 0: none).
    bool readSecondRow(const QString &image, TeamRow *row);
    // The row of `image` as the server has it now (version 0: none).
    bool readRow(const QString &image, TeamRow *row);
    // The rows whose last save has one of `stamps`, in one statement; a
    // stamp of no row, or of a row saved again since, gives nothing.
    bool readStamped(const QList<qint64> &stamps, const std::function<void(TeamRow &&)> &take);
    // How many imports the dataset has had; -1 when it cannot be read.
    qint64 imports();
    // Asks the server to end the statement this connection runs; callable
    // from any thread, returns at once. The asking may wait for a silent
    // server on a thread of its own.
    void cancelFromAnyThread() const { cancelling()(); }
    // The same, for the connection of now, callable after this is gone.
    std::function<void()> cancelling() const;
    // Makes this connection ready for the first save and step without
    // changing anything: a fresh server process would otherwise prepare
    // and compile them while the person waits.
    void prepareForWork();
    // Tells every listener `payload` (see payloadOf()).
    bool announce(const QString &payload);
    // Holds `image` for this window, unless another window holds it, and
    // gives up this window's other holds. An empty name gives up all.
    TeamOutcome hold(const QString &image);
    bool renewHolds();
    // Holds the first of `candidates` that is not marked and that no other
    // window holds, race-free between windows, and gives up this window's
    // other holds: the window goes there.
    TeamOutcome takeNext(const QStringList &candidates);

    // The whole dataset replaced row by row from `rows` (image, flags):
    // rows that differ are written and recorded in the history. `changed`
    // receives how many did.
    bool importRows(const QList<QPair<QString, quint32>> &rows, qsizetype *changed, QString *error);

    // Grants the dataset to `role` (`member`), or takes the grant back;
    // only the owner may. `changed` tells whether it was otherwise before.
    // A `reviewer` grant also lets the role accept or send back saved rows.
    bool setMember(const QString &role, bool member, bool *changed, QString *error,
                   bool reviewer = false);

    // Whether `error` from a statement means the connection is gone.
    bool connectionLost() const;

    // The notification channel every save is told on.
    static QString channel() { return QStringLiteral("norvanta"); }
    // A notification's line: the dataset and the stamp of a save. It is
    // only a hint that rows changed: anyone who may connect may send one,
    // so that a window reads the rows it names from the table.
    static QString payloadOf(qint32 dataset, qint64 stamp);
    // The line an import sends; a window reads the dataset anew once the
    // dataset's count of imports shows one.
    static QString importPayload(qint32 dataset);
    // Takes the stamps of `dataset` in `line`, or whether it tells of an
    // import; false when it is about nothing of `dataset`.
    static bool readPayloadLine(QStringView line, qint32 dataset, QList<qint64> *stamps,
                                bool *imported);

private:
    bool connect(QString *error);
    // Whether the connection still stands, as far as it can be told without
    // asking the server: a server that stopped or restarted closed it.
    bool standing() const;
    bool measureClock(QString *error);
    bool ensureSchema(QString *error);
    bool findDataset(QString *error);
    bool readAllRows(const std::function<void(TeamRow &&)> &take, QString *error);
    bool readSecondRows(const std::function<void(TeamRow &&)> &take, QString *error);
    bool copyIncoming(const QList<QPair<QString, quint32>> &rows, QString *error);
    QString serverText(const QSqlError &error) const;
    QSqlQuery *prepared(const QString &statement, QString *error);
    // Binds a save's values to the call of norvanta_save.
    void bindSave(QSqlQuery *saving, const QString &image, quint32 flags, qint64 knownVersion,
                  qint64 deadlineMs) const;
    void forget(const QString &statement);

    TeamAddress teamAddress;
    QStringList labels;
    QString annotatorName;
    QString clientId;
    QString name;
    qint32 datasetId = 0;
    QString sessionRole;
    int statementMilliseconds = 0;
    // The server's clock minus this machine's, measured at connect.
    qint64 clockOffsetMs = 0;
    // The connection's cancel request (a libpq PGcancel), made at connect;
    // read from other threads under `cancelMutex`.
    mutable QMutex cancelMutex;
    std::shared_ptr<void> canceller;
    // The statements of this connection, prepared on the server once each.
    std::map<QString, std::unique_ptr<QSqlQuery>> statements;
};
