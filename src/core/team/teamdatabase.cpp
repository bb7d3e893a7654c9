#include "teamdatabase.h"

#include "predictionschema.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <libpq-fe.h>
#include <poll.h>

#include <thread>

// Each connection needs a name of its own within the process.
static QString freshConnectionName()
{
    static QAtomicInt count;
    return QStringLiteral("norvanta-team-%1").arg(count.fetchAndAddRelaxed(1));
}

// An SQLSTATE that says the role lacks a right.
static const QString insufficientPrivilege = QStringLiteral("42501");
// The SQLSTATE of a statement ended by a cancel or the statement timeout.
static const QString queryCanceled = QStringLiteral("57014");

TeamDatabase::TeamDatabase(const TeamAddress &address, const QStringList &catalogue,
                           const QString &annotator, const QString &client)
    : teamAddress(address)
    , labels(catalogue)
    , annotatorName(annotator)
    , clientId(client)
    , name(freshConnectionName())
{
    // A tab or a line end would end the annotator's field of a notification.
    for (QChar &c : annotatorName) {
        if (c.category() == QChar::Other_Control)
            c = u' ';
    }
}

TeamDatabase::~TeamDatabase()
{
    close();
    QSqlDatabase::removeDatabase(name);
}

void TeamDatabase::close()
{
    statements.clear();
    datasetId = 0;
    {
        QMutexLocker locker(&cancelMutex);
        canceller.reset();
    }
    if (QSqlDatabase::contains(name))
        QSqlDatabase::database(name, false).close();
}

QString TeamDatabase::failure(const QString &what) const
{
    const QSqlError error = QSqlDatabase::database(name, false).lastError();
    return what.isEmpty() ? error.text() : what;
}

// QPSQL prepares a statement on the server: made anew for each call, it
// would cost two more round trips (the PREPARE and the DEALLOCATE).
QSqlQuery *TeamDatabase::prepared(const QString &statement, QString *error)
{
    std::unique_ptr<QSqlQuery> &query = statements[statement];
    if (!query) {
        query = std::make_unique<QSqlQuery>(QSqlDatabase::database(name, false));
        if (!query->prepare(statement)) {
            *error = query->lastError().text();
            statements.erase(statement);
            return nullptr;
        }
    }
    return query.get();
}

// After a failed call the statement is made anew: the connection may be a
// new one by then.
void TeamDatabase::forget(const QString &statement)
{
    statements.erase(statement);
}

bool TeamDatabase::connect(QString *error)
{
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    if (!db.isValid()) {
        *error = tr("Qt 的 PostgreSQL 驱动（QPSQL）不可用");
        return false;
    }
    if (db.isOpen())
        return true;
    db.setConnectOptions(teamAddress.connectOptions());
    if (!db.open()) {
        // libpq's own words, which name the host and the user but never a password.
        *error = db.lastError().databaseText().trimmed();
        if (error->isEmpty())
            *error = db.lastError().text();
        return false;
    }
    if (statementMilliseconds > 0) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SET statement_timeout = %1").arg(statementMilliseconds))) {
            *error = query.lastError().text();
            db.close();
            return false;
        }
    }
    if (!measureClock(error)) {
        db.close();
        return false;
    }
    return true;
}

static PGconn *connectionOf(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    // The type is named by its struct in Qt 6, by its typedef before.
    if (!handle.isValid()
        || (qstrcmp(handle.typeName(), "pg_conn*") != 0 && qstrcmp(handle.typeName(), "PGconn*") != 0))
        return nullptr;
    return *static_cast<PGconn *const *>(handle.constData());
}

// A save's deadline is told in the server's clock: this machine's may be
// off by any amount. Half the round trip is the measure's error.
bool TeamDatabase::measureClock(QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    QSqlQuery query(db);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    if (!query.exec(QStringLiteral("SELECT (extract(epoch FROM clock_timestamp()) * 1000)::bigint"))
        || !query.next()) {
        *error = query.lastError().text();
        return false;
    }
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    clockOffsetMs = query.value(0).toLongLong() - (before + after) / 2;
    PGconn *connection = connectionOf(db);
    QMutexLocker locker(&cancelMutex);
    canceller.reset();
    if (PGcancel *cancel = connection ? PQgetCancel(connection) : nullptr)
        canceller = std::shared_ptr<void>(cancel, [](void *c) { PQfreeCancel(static_cast<PGcancel *>(c)); });
    return true;
}

std::function<void()> TeamDatabase::cancelling() const
{
    std::shared_ptr<void> cancel;
    {
        QMutexLocker locker(&cancelMutex);
        cancel = canceller;
    }
    return [cancel] {
        if (!cancel)
            return;
        // libpq's request opens a connection of its own and waits for the
        // server to take it: a silent server would hold the caller.
        std::thread([cancel] {
            char reason[256];
            PQcancel(static_cast<PGcancel *>(cancel.get()), reason, int(sizeof reason));
        }).detach();
    };
}

// Between two statements nothing comes on this connection (it listens to
// nothing), so anything waiting to be read is the server closing it (its
// last words, then the end), or at most a notice: either way a fresh
// connection is the safe one to send a save on.
bool TeamDatabase::standing() const
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    PGconn *connection = db.isOpen() ? connectionOf(db) : nullptr;
    if (!connection || PQstatus(connection) != CONNECTION_OK)
        return false;
    pollfd socket{PQsocket(connection), POLLIN, 0};
    return ::poll(&socket, 1, 0) == 0;
}

bool TeamDatabase::open(QString *error)
{
    if (isOpen() && standing())
        return true;
    // A connection the server closed is made anew before anything is sent
    // on it, so that a save never meets a connection that was lost already.
    if (isOpen())
        close();
    datasetId = 0;
    return connect(error) && ensureSchema(error) && findDataset(error);
}

namespace {

const char *const tableNames[] = {"norvanta_datasets", "norvanta_annotations", "norvanta_history",
                                  "norvanta_holds", "norvanta_labels"};

// The rights a team member's role needs on each table.
const struct
{
    const char *table;
    const char *rights;
} neededRights[] = {
    {"norvanta_datasets", "SELECT, INSERT"},
    {"norvanta_annotations", "SELECT, INSERT, UPDATE"},
    {"norvanta_history", "INSERT"},
    {"norvanta_holds", "SELECT, INSERT, UPDATE, DELETE"},
};

// A save in one call: the row is locked, checked against the version the
// window knows unless the window itself saved it last, written and recorded
// in the history, all in the caller's transaction. The listeners are told
// by the saving window once this has been committed (see TeamWorker).
//
// A save the window has given up on must never be written: the window
// passes the moment it stops waiting, in the server's clock (milliseconds
// since the epoch; 0 for none), and a save that starts, or would commit,
// after it fails instead. The second check comes after the row's lock was
// waited for and the row written, just before the commit, so that only the
// commit itself lies after it; the window waits a second longer.
QString saveFunction()
{
    return QStringLiteral(R"(
CREATE OR REPLACE FUNCTION norvanta_save(p_dataset integer, p_image text, p_flags integer,
    p_known bigint, p_annotator text, p_client text, p_deadline bigint)
RETURNS TABLE (r_conflict boolean, r_image text, r_flags integer, r_version bigint,
    r_annotator text, r_saved_ms bigint, r_client text)
LANGUAGE plpgsql AS $$
DECLARE
    old norvanta_annotations%ROWTYPE;
    saved norvanta_annotations%ROWTYPE;
BEGIN
    IF p_deadline > 0 AND extract(epoch FROM clock_timestamp()) * 1000 > p_deadline THEN
        RAISE EXCEPTION 'norvanta: the window stopped waiting for this save' USING ERRCODE = 'NV001';
    END IF;
    SELECT * INTO old FROM norvanta_annotations a
        WHERE a.dataset = p_dataset AND a.image = p_image FOR UPDATE;
    IF NOT FOUND THEN
        INSERT INTO norvanta_annotations AS a
                (dataset, image, flags, version, annotator, saved_at, client)
            VALUES (p_dataset, p_image, p_flags, 1, p_annotator, now(), p_client)
            ON CONFLICT (dataset, image) DO NOTHING RETURNING * INTO saved;
        IF NOT FOUND THEN
            SELECT * INTO old FROM norvanta_annotations a
                WHERE a.dataset = p_dataset AND a.image = p_image FOR UPDATE;
        END IF;
    END IF;
    IF old.version IS NOT NULL THEN
        IF old.version <> p_known AND old.client <> p_client THEN
            RETURN QUERY SELECT true, old.image, old.flags, old.version, old.annotator,
                (extract(epoch FROM old.saved_at) * 1000)::bigint, old.client;
            RETURN;
        END IF;
        UPDATE norvanta_annotations a SET flags = p_flags, version = a.version + 1,
                annotator = p_annotator, saved_at = now(), client = p_client
            WHERE a.dataset = p_dataset AND a.image = p_image RETURNING * INTO saved;
    END IF;
    INSERT INTO norvanta_history (dataset, image, annotator, saved_at, flags_before, flags_after)
        VALUES (p_dataset, p_image, p_annotator, saved.saved_at, old.flags, p_flags);
    IF p_deadline > 0 AND extract(epoch FROM clock_timestamp()) * 1000 > p_deadline THEN
        RAISE EXCEPTION 'norvanta: the window stopped waiting for this save' USING ERRCODE = 'NV001';
    END IF;
    RETURN QUERY SELECT false, saved.image, saved.flags, saved.version, saved.annotator,
        (extract(epoch FROM saved.saved_at) * 1000)::bigint, saved.client;
END
$$)");
}

// A step to the next unmarked image in one call: the first of the
// candidates (file names, separated by "/", which no name holds) that is not
// marked and that no other window holds is held for `p_holder`, whose other
// holds are given up; NULL when there is none.
// - A candidate that another window's step is looking at right now (its
//   transaction lock on the name) is passed over at once: that window takes
//   it, or finds it taken or marked. No step waits for another, so steps of
//   many windows, each holding some rows until it ends, never deadlock.
// - A hold is one row per image: an arrow's hold being inserted at the same
//   time is waited for, and then found.
// - Each statement sees what was committed before it started, so a window
//   that saved a candidate and let go of it while the insert ran is seen by
//   the check after it.
// - A hold is a passing claim, and one lost in a crash of the server costs
//   no label: its commit does not wait for the disk.
QString takeFunction()
{
    return QStringLiteral(R"(
CREATE OR REPLACE FUNCTION norvanta_take(p_dataset integer, p_candidates text,
    p_holder text, p_annotator text)
RETURNS text
LANGUAGE plpgsql AS $$
DECLARE
    candidate text;
BEGIN
    PERFORM set_config('synchronous_commit', 'off', true);
    DELETE FROM norvanta_holds h WHERE h.ctid IN (SELECT l.ctid FROM norvanta_holds l
        WHERE l.renewed < now() - interval '120 seconds' FOR UPDATE SKIP LOCKED);
    FOREACH candidate IN ARRAY string_to_array(p_candidates, '/') LOOP
        CONTINUE WHEN NOT pg_try_advisory_xact_lock(hashtextextended(candidate, p_dataset));
        INSERT INTO norvanta_holds AS h (dataset, image, holder, annotator, renewed)
            SELECT p_dataset, candidate, p_holder, p_annotator, now()
            WHERE NOT EXISTS (SELECT 1 FROM norvanta_annotations a
                WHERE a.dataset = p_dataset AND a.image = candidate AND a.flags <> 0)
            ON CONFLICT (dataset, image) DO UPDATE
            SET holder = excluded.holder, annotator = excluded.annotator, renewed = now()
            WHERE h.holder = excluded.holder OR h.renewed < now() - interval '120 seconds';
        CONTINUE WHEN NOT FOUND;
        IF EXISTS (SELECT 1 FROM norvanta_annotations a
                WHERE a.dataset = p_dataset AND a.image = candidate AND a.flags <> 0) THEN
            DELETE FROM norvanta_holds h
                WHERE h.dataset = p_dataset AND h.image = candidate AND h.holder = p_holder;
            CONTINUE;
        END IF;
        DELETE FROM norvanta_holds h WHERE h.holder = p_holder
            AND (h.dataset <> p_dataset OR h.image <> candidate);
        RETURN candidate;
    END LOOP;
    RETURN NULL;
END
$$)");
}

QStringList schemaStatements(const QStringList &labels)
{
    QStringList columns;
    for (qsizetype i = 0; i < labels.size(); ++i)
        columns << QStringLiteral("(a.flags >> %1) & 1 AS \"%2\"").arg(i).arg(labels.at(i));
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_datasets ("
                       " id integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
                       " name text NOT NULL UNIQUE,"
                       " created timestamptz NOT NULL DEFAULT now())"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_annotations ("
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " image text NOT NULL,"
                       " flags integer NOT NULL,"
                       " version bigint NOT NULL,"
                       " annotator text NOT NULL,"
                       " saved_at timestamptz NOT NULL,"
                       " client text NOT NULL,"
                       " PRIMARY KEY (dataset, image))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_history ("
                       " id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " image text NOT NULL,"
                       " annotator text NOT NULL,"
                       " saved_at timestamptz NOT NULL,"
                       " flags_before integer,"
                       " flags_after integer NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS norvanta_history_image"
                       " ON norvanta_history (dataset, image)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_holds ("
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " image text NOT NULL,"
                       " holder text NOT NULL,"
                       " annotator text NOT NULL,"
                       " renewed timestamptz NOT NULL,"
                       " PRIMARY KEY (dataset, image))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS norvanta_holds_holder ON norvanta_holds (holder)"),
        saveFunction(),
        takeFunction(),
        QStringLiteral("CREATE OR REPLACE VIEW norvanta_labels AS SELECT d.name AS dataset,"
                       " a.image AS \"图片名称\", %1, a.annotator, a.saved_at"
                       " FROM norvanta_annotations a JOIN norvanta_datasets d ON d.id = a.dataset")
            .arg(columns.join(QStringLiteral(", "))),
    };
}

// The functions by their signatures, with their definitions.
const struct
{
    const char *name;
    const char *signature;
    QString (*definition)();
} functions[] = {
    {"norvanta_save", "norvanta_save(integer,text,integer,bigint,text,text,bigint)", saveFunction},
    {"norvanta_take", "norvanta_take(integer,text,text,text)", takeFunction},
};

// A function is missing when the server lacks it with this signature and
// this body: a database made by an earlier version of the program gains
// the current ones when the owner next opens a dataset.
bool findOutdatedFunctions(QSqlQuery *query, QStringList *missing)
{
    for (const auto &function : functions) {
        const QString definition = function.definition();
        const qsizetype start = definition.indexOf(QStringLiteral("$$")) + 2;
        const QString body = definition.mid(start, definition.lastIndexOf(QStringLiteral("$$")) - start);
        query->prepare(QStringLiteral("SELECT EXISTS (SELECT 1 FROM pg_proc"
                                      " WHERE oid = to_regprocedure(?) AND prosrc = ?)"));
        query->addBindValue(QString::fromLatin1(function.signature));
        query->addBindValue(body);
        if (!query->exec() || !query->next())
            return false;
        if (!query->value(0).toBool())
            *missing << QString::fromLatin1(function.name);
    }
    return true;
}

} // namespace

bool TeamDatabase::ensureSchema(QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    QSqlQuery query(db);
    QStringList missing;
    for (const char *table : tableNames) {
        query.prepare(QStringLiteral("SELECT to_regclass(?) IS NOT NULL"));
        query.addBindValue(QString::fromLatin1(table));
        if (!query.exec() || !query.next()) {
            *error = failure(QString());
            return false;
        }
        if (!query.value(0).toBool())
            missing << QString::fromLatin1(table);
    }
    if (!findOutdatedFunctions(&query, &missing)) {
        *error = failure(QString());
        return false;
    }
    if (!missing.isEmpty()) {
        // One creator at a time: two first users at once would otherwise
        // both try to make the same tables.
        const QStringList statements = schemaStatements(labels);
        bool made = db.transaction()
            && query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(7150447)"));
        for (const QString &statement : statements)
            made = made && query.exec(statement);
        if (!made || !db.commit()) {
            const QSqlError cause = query.lastError().isValid() ? query.lastError() : db.lastError();
            db.rollback();
            *error = cause.nativeErrorCode() == insufficientPrivilege
                ? tr("数据库中缺少 %1，当前角色无权创建；请数据库管理员按说明建表并授权")
                      .arg(missing.join(QStringLiteral(", ")))
                : cause.databaseText();
            return false;
        }
    }
    QStringList lacking;
    for (const auto &needed : neededRights) {
        query.prepare(QStringLiteral("SELECT has_table_privilege(?, ?)"));
        query.addBindValue(QString::fromLatin1(needed.table));
        query.addBindValue(QString::fromLatin1(needed.rights));
        if (!query.exec() || !query.next()) {
            *error = failure(QString());
            return false;
        }
        if (!query.value(0).toBool())
            lacking << QStringLiteral("%1 (%2)").arg(QLatin1String(needed.table),
                                                     QLatin1String(needed.rights));
    }
    if (!lacking.isEmpty()) {
        *error = tr("当前角色缺少权限：%1").arg(lacking.join(QStringLiteral("; ")));
        return false;
    }
    // The predictions' part, made by the owner's program like the rest;
    // without it a member labels on, and the predictions say what is missing.
    return PredictionSchema::ensure(db, false, error);
}

bool TeamDatabase::findDataset(QString *error)
{
    QSqlQuery query(QSqlDatabase::database(name, false));
    query.prepare(QStringLiteral("INSERT INTO norvanta_datasets (name) VALUES (?)"
                                 " ON CONFLICT (name) DO NOTHING"));
    query.addBindValue(teamAddress.dataset());
    if (!query.exec()) {
        *error = query.lastError().databaseText();
        return false;
    }
    query.prepare(QStringLiteral("SELECT id FROM norvanta_datasets WHERE name = ?"));
    query.addBindValue(teamAddress.dataset());
    if (!query.exec() || !query.next()) {
        *error = query.lastError().databaseText();
        return false;
    }
    datasetId = query.value(0).toInt();
    return true;
}

bool TeamDatabase::connectionLost() const
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    if (!db.isOpen())
        return true;
    QSqlQuery probe(db);
    return !probe.exec(QStringLiteral("SELECT 1"));
}

bool TeamDatabase::readAll(const std::function<void(TeamRow &&)> &take, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(name, false));
    if (statementMilliseconds > 0) {
        // A big dataset may take longer than any save is given.
        if (!query.exec(QStringLiteral("SET statement_timeout = 0"))) {
            *error = query.lastError().text();
            return false;
        }
        const bool read = readAllRows(take, error);
        query.exec(QStringLiteral("SET statement_timeout = %1").arg(statementMilliseconds));
        return read;
    }
    return readAllRows(take, error);
}

// A row a line of text: version, flags, time, annotator and image,
// separated by tabs (only the image, last, may hold one); one text per row
// costs the driver one value instead of five. The rows are read as the
// server sends them, so that a million rows are taken in while the server
// still finds the next ones: the driver does that only for a forward-only
// statement that it does not prepare, so the dataset is named to the server
// first, as a bound value of this connection's setting, and the statement
// reads it once. Which window saved a row is left out: only the server
// compares it.
bool TeamDatabase::readAllRows(const std::function<void(TeamRow &&)> &take, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    {
        QSqlQuery naming(db);
        naming.prepare(QStringLiteral("SELECT set_config('norvanta.dataset', ?, false)"));
        naming.addBindValue(QString::number(datasetId));
        if (!naming.exec()) {
            *error = naming.lastError().text();
            return false;
        }
    }
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral(
            "SELECT concat_ws(E'\\t', version, flags, (extract(epoch FROM saved_at) * 1000)::bigint,"
            " annotator, image) FROM norvanta_annotations"
            " WHERE dataset = (SELECT current_setting('norvanta.dataset')::integer)"))) {
        *error = query.lastError().text();
        return false;
    }
    // Rows of one annotator share one text.
    QString annotator;
    while (query.next()) {
        const QString line = query.value(0).toString();
        TeamRow row;
        qsizetype start = 0;
        QStringView fields[4];
        for (QStringView &field : fields) {
            const qsizetype tab = line.indexOf(u'\t', start);
            if (tab < 0)
                break;
            field = QStringView(line).mid(start, tab - start);
            start = tab + 1;
        }
        row.version = fields[0].toLongLong();
        row.flags = fields[1].toUInt();
        row.savedAtMs = fields[2].toLongLong();
        if (fields[3] != annotator)
            annotator = fields[3].toString();
        row.annotator = annotator;
        row.image = line.mid(start);
        take(std::move(row));
    }
    if (query.lastError().isValid()) {
        *error = query.lastError().text();
        return false;
    }
    return true;
}

static QString saveStatement()
{
    return QStringLiteral("SELECT * FROM norvanta_save(?, ?, ?, ?, ?, ?, ?)");
}

static QString takeStatement()
{
    return QStringLiteral("SELECT norvanta_take(?, ?, ?, ?)");
}

void TeamDatabase::bindSave(QSqlQuery *saving, const QString &image, quint32 flags,
                            qint64 knownVersion, qint64 deadlineMs) const
{
    saving->bindValue(6, deadlineMs > 0 ? deadlineMs + clockOffsetMs : qint64(0));
    saving->bindValue(0, datasetId);
    saving->bindValue(1, image);
    saving->bindValue(2, qint32(flags));
    saving->bindValue(3, knownVersion);
    saving->bindValue(4, annotatorName);
    saving->bindValue(5, clientId);
}

TeamOutcome TeamDatabase::save(const QString &image, quint32 flags, qint64 knownVersion,
                               qint64 deadlineMs)
{
    TeamOutcome outcome;
    const QString statement = saveStatement();
    QSqlQuery *saving = prepared(statement, &outcome.error);
    if (!saving) {
        outcome.kind = TeamOutcome::Failed;
        return outcome;
    }
    bindSave(saving, image, flags, knownVersion, deadlineMs);
    bool done = saving->exec() && saving->next();
    // The cancel of a save given up before may reach the server late and
    // end this one instead: a cancelled save was never committed, and is
    // tried once more (its deadline still holds).
    if (!done && saving->lastError().nativeErrorCode() == queryCanceled && standing())
        done = saving->exec() && saving->next();
    if (!done) {
        // A server that answered with an error rolled the save back; one
        // that closed the connection may have committed it first.
        outcome.kind = standing() ? TeamOutcome::Failed : TeamOutcome::Unconfirmed;
        outcome.error = saving->lastError().text();
        forget(statement);
        return outcome;
    }
    if (saving->value(0).toBool())
        outcome.kind = TeamOutcome::Conflict;
    outcome.row.image = saving->value(1).toString();
    outcome.row.flags = quint32(saving->value(2).toLongLong());
    outcome.row.version = saving->value(3).toLongLong();
    outcome.row.annotator = saving->value(4).toString();
    outcome.row.savedAtMs = saving->value(5).toLongLong();
    outcome.row.client = saving->value(6).toString();
    saving->finish();
    return outcome;
}

void TeamDatabase::prepareForWork()
{
    QString error;
    // A save taken back, of a name that no file has: the server has then
    // made its plans for every statement of a save.
    QSqlDatabase db = QSqlDatabase::database(name, false);
    QSqlQuery *saving = prepared(saveStatement(), &error);
    if (saving && db.transaction()) {
        bindSave(saving, u'/' + clientId, 0, 0, 0);
        saving->exec();
        saving->finish();
        db.rollback();
    }
    // No candidate: nothing is held or given up.
    if (QSqlQuery *query = prepared(takeStatement(), &error)) {
        query->bindValue(0, datasetId);
        query->bindValue(1, QStringLiteral(""));
        query->bindValue(2, clientId);
        query->bindValue(3, annotatorName);
        query->exec();
        query->finish();
    }
}

bool TeamDatabase::readRow(const QString &image, TeamRow *row)
{
    const QString statement = QStringLiteral(
        "SELECT flags, version, annotator, (extract(epoch FROM saved_at) * 1000)::bigint, client"
        " FROM norvanta_annotations WHERE dataset = ? AND image = ?");
    QString error;
    QSqlQuery *query = prepared(statement, &error);
    if (!query)
        return false;
    query->bindValue(0, datasetId);
    query->bindValue(1, image);
    if (!query->exec()) {
        forget(statement);
        return false;
    }
    *row = TeamRow();
    row->image = image;
    if (query->next()) {
        row->flags = quint32(query->value(0).toLongLong());
        row->version = query->value(1).toLongLong();
        row->annotator = query->value(2).toString();
        row->savedAtMs = query->value(3).toLongLong();
        row->client = query->value(4).toString();
    }
    query->finish();
    return true;
}

bool TeamDatabase::announce(const QString &payload)
{
    const QString statement = QStringLiteral("SELECT pg_notify(?, ?)");
    QString error;
    QSqlQuery *query = prepared(statement, &error);
    if (!query)
        return false;
    query->bindValue(0, channel());
    query->bindValue(1, payload);
    if (!query->exec()) {
        forget(statement);
        return false;
    }
    query->finish();
    return true;
}

TeamOutcome TeamDatabase::hold(const QString &image)
{
    TeamOutcome outcome;
    // An empty name would reach the server as NULL, which no image equals.
    // A step with the arrows deletes lapsed holds as norvanta_take does.
    const QString letGo = image.isEmpty()
        ? QStringLiteral("DELETE FROM norvanta_holds WHERE holder = ?")
        : QStringLiteral("DELETE FROM norvanta_holds WHERE (holder = ? AND image <> ?)"
                         " OR ctid IN (SELECT ctid FROM norvanta_holds"
                         " WHERE renewed < now() - interval '120 seconds' FOR UPDATE SKIP LOCKED)");
    QSqlQuery *query = prepared(letGo, &outcome.error);
    bool done = query;
    if (done) {
        query->bindValue(0, clientId);
        if (!image.isEmpty())
            query->bindValue(1, image);
        done = query->exec();
    }
    if (done && !image.isEmpty()) {
        // Taken over only from this window itself or from one that has not
        // renewed it for 120 seconds (a program that died).
        query = prepared(QStringLiteral(
            "INSERT INTO norvanta_holds AS h (dataset, image, holder, annotator, renewed)"
            " VALUES (?, ?, ?, ?, now()) ON CONFLICT (dataset, image) DO UPDATE"
            " SET holder = excluded.holder, annotator = excluded.annotator, renewed = now()"
            " WHERE h.holder = excluded.holder OR h.renewed < now() - interval '120 seconds'"
            " RETURNING image"), &outcome.error);
        done = query;
        if (done) {
            query->bindValue(0, datasetId);
            query->bindValue(1, image);
            query->bindValue(2, clientId);
            query->bindValue(3, annotatorName);
            done = query->exec();
        }
        if (done && query->next())
            outcome.taken = image;
    }
    if (query)
        query->finish();
    if (!done) {
        outcome.kind = TeamOutcome::Failed;
        if (query)
            outcome.error = query->lastError().text();
        statements.clear();
    }
    return outcome;
}

bool TeamDatabase::renewHolds()
{
    const QString statement =
        QStringLiteral("UPDATE norvanta_holds SET renewed = now() WHERE holder = ?");
    QString error;
    QSqlQuery *query = prepared(statement, &error);
    if (!query)
        return false;
    query->bindValue(0, clientId);
    if (!query->exec()) {
        forget(statement);
        return false;
    }
    return true;
}

TeamOutcome TeamDatabase::takeNext(const QStringList &candidates)
{
    TeamOutcome outcome;
    const QString statement = takeStatement();
    QSqlQuery *query = prepared(statement, &outcome.error);
    if (!query) {
        outcome.kind = TeamOutcome::Failed;
        return outcome;
    }
    // A name with a "/" is no file's name: it cannot be listed.
    query->bindValue(0, datasetId);
    query->bindValue(1, candidates.join(u'/'));
    query->bindValue(2, clientId);
    query->bindValue(3, annotatorName);
    if (!query->exec() || !query->next()) {
        outcome.kind = TeamOutcome::Failed;
        outcome.error = query->lastError().text();
        forget(statement);
        return outcome;
    }
    outcome.taken = query->value(0).toString();
    query->finish();
    return outcome;
}

// One line of COPY's text form: the image, a tab, the flags. A name holds
// neither "," nor a line end, but may hold a backslash or a tab.
static void appendCopyLine(QByteArray *buffer, const QString &image, quint32 flags)
{
    for (const char c : image.toUtf8()) {
        if (c == '\\')
            buffer->append("\\\\");
        else if (c == '\t')
            buffer->append("\\t");
        else if (c == '\r')
            buffer->append("\\r");
        else
            buffer->append(c);
    }
    buffer->append('\t');
    buffer->append(QByteArray::number(flags));
    buffer->append('\n');
}

// The rows go to the server as one stream of COPY into a temporary table of
// this transaction, in parts of about a megabyte, through the connection
// Qt's driver holds (its own interface has no COPY): the server takes a
// million rows in about a second, without a statement per part.
bool TeamDatabase::copyIncoming(const QList<QPair<QString, quint32>> &rows, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("CREATE TEMPORARY TABLE norvanta_incoming"
                                   " (image text NOT NULL, flags integer NOT NULL) ON COMMIT DROP"))) {
        *error = query.lastError().text();
        return false;
    }
    const QVariant handle = db.driver()->handle();
    // The driver names the type by libpq's struct.
    const QByteArrayView type(handle.typeName());
    PGconn *connection = type == "pg_conn*" || type == "PGconn*"
        ? *static_cast<PGconn *const *>(handle.constData())
        : nullptr;
    if (!connection) {
        *error = tr("数据库驱动不支持 COPY");
        return false;
    }
    PGresult *started = PQexec(connection, "COPY norvanta_incoming (image, flags) FROM STDIN");
    const bool copying = PQresultStatus(started) == PGRES_COPY_IN;
    PQclear(started);
    bool sent = copying;
    QByteArray buffer;
    constexpr qsizetype part = 1 << 20;
    for (qsizetype i = 0; sent && i < rows.size(); ++i) {
        appendCopyLine(&buffer, rows.at(i).first, rows.at(i).second);
        if (buffer.size() >= part || i + 1 == rows.size()) {
            sent = PQputCopyData(connection, buffer.constData(), int(buffer.size())) == 1;
            buffer.clear();
        }
    }
    if (copying)
        sent = PQputCopyEnd(connection, sent ? nullptr : "import stopped") == 1 && sent;
    bool stored = sent;
    while (PGresult *result = PQgetResult(connection)) {
        stored = stored && PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    }
    if (!stored)
        *error = QString::fromUtf8(PQerrorMessage(connection)).trimmed();
    return stored;
}

// The rows streamed into a temporary table, then one statement that writes
// those that differ and records them in the history.
bool TeamDatabase::importRows(const QList<QPair<QString, quint32>> &rows, qsizetype *changed,
                              QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    QSqlQuery query(db);
    *changed = 0;
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    if (!copyIncoming(rows, error)) {
        db.rollback();
        return false;
    }
    query.exec(QStringLiteral("ANALYZE norvanta_incoming"));
    query.prepare(QStringLiteral(
        "WITH changed AS ("
        "  SELECT i.image, i.flags, a.flags AS before FROM norvanta_incoming i"
        "  LEFT JOIN norvanta_annotations a ON a.dataset = ? AND a.image = i.image"
        "  WHERE a.flags IS DISTINCT FROM i.flags),"
        " written AS ("
        "  INSERT INTO norvanta_annotations AS a"
        "   (dataset, image, flags, version, annotator, saved_at, client)"
        "  SELECT ?, image, flags, 1, ?, now(), ? FROM changed"
        "  ON CONFLICT (dataset, image) DO UPDATE SET flags = excluded.flags,"
        "   version = a.version + 1, annotator = excluded.annotator,"
        "   saved_at = excluded.saved_at, client = excluded.client"
        "  RETURNING 1)"
        " INSERT INTO norvanta_history (dataset, image, annotator, saved_at, flags_before, flags_after)"
        " SELECT ?, image, ?, now(), before, flags FROM changed"));
    for (const QVariant &value : {QVariant(datasetId), QVariant(datasetId), QVariant(annotatorName),
                                  QVariant(clientId), QVariant(datasetId), QVariant(annotatorName)})
        query.addBindValue(value);
    if (!query.exec()) {
        *error = query.lastError().text();
        db.rollback();
        return false;
    }
    *changed = query.numRowsAffected();
    // One word for the whole import: every window reads the dataset anew.
    query.prepare(QStringLiteral("SELECT pg_notify(?, ?)"));
    query.addBindValue(channel());
    query.addBindValue(QStringLiteral("%1\treload").arg(datasetId));
    if (!query.exec() || !db.commit()) {
        *error = query.lastError().isValid() ? query.lastError().text() : db.lastError().text();
        db.rollback();
        return false;
    }
    // The first reading of rows just written checks each one's transaction
    // and writes down the answer beside it: the import pays for that, not
    // the first window to open the dataset. Nothing is lost when it fails.
    if (*changed > 0) {
        query.prepare(QStringLiteral("SELECT count(*) FROM norvanta_annotations WHERE dataset = ?"));
        query.addBindValue(datasetId);
        query.exec();
        query.finish();
    }
    return true;
}

// dataset, version, flags, time, client, annotator and image, separated by
// tabs: only the image, last, may hold one.
QString TeamDatabase::payloadOf(qint32 dataset, const TeamRow &row)
{
    return QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6\t%7")
        .arg(dataset)
        .arg(row.version)
        .arg(row.flags)
        .arg(row.savedAtMs)
        .arg(row.client, row.annotator, row.image);
}

bool TeamDatabase::rowOfPayload(const QString &payload, qint32 dataset, TeamRow *row)
{
    qsizetype start = 0;
    QStringList fields;
    for (int i = 0; i < 6; ++i) {
        const qsizetype tab = payload.indexOf(u'\t', start);
        if (tab < 0)
            return false;
        fields << payload.mid(start, tab - start);
        start = tab + 1;
    }
    if (fields.at(0).toInt() != dataset)
        return false;
    row->version = fields.at(1).toLongLong();
    row->flags = fields.at(2).toUInt();
    row->savedAtMs = fields.at(3).toLongLong();
    row->client = fields.at(4);
    row->annotator = fields.at(5);
    row->image = payload.mid(start);
    return row->version > 0;
}
