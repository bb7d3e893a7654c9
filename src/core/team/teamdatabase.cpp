#include "teamdatabase.h"

#include "teamschema.h"

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

// The server's own words, its refusals that this program knows told in
// Chinese; the driver's English only when the server said nothing.
QString TeamDatabase::serverText(const QSqlError &error) const
{
    const QString code = error.nativeErrorCode();
    if (code == TeamSchema::noGrant())
        return tr("当前角色无权使用数据集 %1").arg(teamAddress.dataset());
    if (code == TeamSchema::badAnnotator())
        return tr("标注人名称无效：%1").arg(annotatorName);
    const QString text = error.databaseText().trimmed();
    if (code == insufficientPrivilege)
        return tr("当前角色无权执行此操作：") + text;
    return text.isEmpty() ? error.text() : text;
}

// QPSQL prepares a statement on the server: made anew for each call, it
// would cost two more round trips (the PREPARE and the DEALLOCATE).
QSqlQuery *TeamDatabase::prepared(const QString &statement, QString *error)
{
    std::unique_ptr<QSqlQuery> &query = statements[statement];
    if (!query) {
        query = std::make_unique<QSqlQuery>(QSqlDatabase::database(name, false));
        if (!query->prepare(statement)) {
            *error = serverText(query->lastError());
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
            *error = serverText(db.lastError());
        return false;
    }
    if (statementMilliseconds > 0) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SET statement_timeout = %1").arg(statementMilliseconds))) {
            *error = serverText(query.lastError());
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
        *error = serverText(query.lastError());
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

bool TeamDatabase::ensureSchema(QString *error)
{
    return TeamSchema::ensure(QSqlDatabase::database(name, false), labels, error);
}

// Only the owner makes a dataset; a member's role must have been granted it.
bool TeamDatabase::findDataset(QString *error)
{
    QSqlQuery query(QSqlDatabase::database(name, false));
    query.prepare(QStringLiteral("SELECT norvanta_open(?), session_user"));
    query.addBindValue(teamAddress.dataset());
    if (!query.exec() || !query.next()) {
        *error = query.lastError().nativeErrorCode() == TeamSchema::noGrant()
            ? tr("当前角色无权使用数据集 %1").arg(teamAddress.dataset())
            : serverText(query.lastError());
        return false;
    }
    datasetId = query.value(0).toInt();
    sessionRole = query.value(1).toString();
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
            *error = serverText(query.lastError());
            return false;
        }
        const bool read = readAllRows(take, error) && readSecondRows(take, error);
        query.exec(QStringLiteral("SET statement_timeout = %1").arg(statementMilliseconds));
        return read;
    }
    return readAllRows(take, error) && readSecondRows(take, error);
}

// The columns of a second row `s` as the dataset's reading selects them;
// the results of the functions on second rows give the first seven, after a
// column of their own.
static QString secondColumns()
{
    return QStringLiteral("s.image, s.flags, s.annotator, (extract(epoch FROM s.saved_at) * 1000)::bigint,"
                          " s.client, s.stamp, s.role, s.first_flags, s.settled_at IS NOT NULL");
}

// A second row from the values at `first` on (the columns of
// secondColumns(), of which a function's result gives the first seven).
static TeamRow secondRowOf(const QSqlQuery &query, int first, bool whole)
{
    TeamRow row;
    row.second = true;
    row.image = query.value(first).toString();
    row.saved = !query.value(first + 1).isNull();
    row.flags = row.saved ? quint32(query.value(first + 1).toLongLong()) : 0;
    row.annotator = query.value(first + 2).toString();
    row.savedAtMs = query.value(first + 3).toLongLong();
    row.client = query.value(first + 4).toString();
    row.stamp = query.value(first + 5).toLongLong();
    row.version = row.stamp;
    row.role = query.value(first + 6).toString();
    if (whole) {
        if (!query.value(first + 7).isNull())
            row.firstFlags = query.value(first + 7).toLongLong();
        row.settled = query.value(first + 8).toBool();
    }
    return row;
}

// Few images have a second row: read as any statement.
bool TeamDatabase::readSecondRows(const std::function<void(TeamRow &&)> &take, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(name, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM norvanta_second_rows s WHERE s.dataset = ?")
                      .arg(secondColumns()));
    query.addBindValue(datasetId);
    if (!query.exec()) {
        *error = serverText(query.lastError());
        return false;
    }
    while (query.next())
        take(secondRowOf(query, 0, true));
    return true;
}

bool TeamDatabase::readSecondRow(const QString &image, TeamRow *row)
{
    QSqlQuery query(QSqlDatabase::database(name, false));
    query.prepare(QStringLiteral("SELECT %1 FROM norvanta_second_rows s WHERE s.dataset = ? AND s.image = ?")
                      .arg(secondColumns()));
    query.addBindValue(datasetId);
    query.addBindValue(image);
    if (!query.exec())
        return false;
    *row = query.next() ? secondRowOf(query, 0, true) : TeamRow();
    return true;
}

bool TeamDatabase::readOverlap(double *percent, qint64 *seed, QString *error, bool *reviews)
{
    QSqlQuery query(QSqlDatabase::database(name, false));
    query.prepare(QStringLiteral("SELECT overlap_percent::float8, overlap_seed, norvanta_is_reviewer(id)"
                                 " FROM norvanta_datasets WHERE id = ?"));
    query.addBindValue(datasetId);
    if (!query.exec() || !query.next()) {
        *error = serverText(query.lastError());
        return false;
    }
    *percent = query.value(0).toDouble();
    *seed = query.value(1).toLongLong();
    if (reviews)
        *reviews = query.value(2).toBool();
    return true;
}

// A dataset's draw keeps its seed once made, so that the images chosen stay chosen when the
// share changes; a share of 0 keeps it for a later one.
bool TeamDatabase::setOverlap(double percent, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    error->clear();
    if (!TeamSchema::isOwner(db, error)) {
        if (error->isEmpty())
            *error = tr("只有数据库所有者可以设置数据集 %1 的重复标注比例").arg(teamAddress.dataset());
        return false;
    }
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "UPDATE norvanta_datasets SET overlap_percent = ?, overlap_seed = CASE WHEN overlap_seed = 0"
        " THEN 1 + floor(random() * 9007199254740991)::bigint ELSE overlap_seed END WHERE id = ?"));
    query.addBindValue(percent);
    query.addBindValue(datasetId);
    if (!query.exec()) {
        *error = tr("无法设置重复标注比例：") + serverText(query.lastError());
        return false;
    }
    return true;
}

// A row a line of text: version, flags, time, review, its reason (which the
// server keeps free of control characters), annotator and image, separated
// by tabs (only the image, last, may hold one); one text per row
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
            *error = serverText(naming.lastError());
            return false;
        }
    }
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral(
            "SELECT concat_ws(E'\\t', version, flags, (extract(epoch FROM saved_at) * 1000)::bigint,"
            " review, review_reason, annotator, coalesce(nullif(role, annotator), ''), image)"
            " FROM norvanta_annotations"
            " WHERE dataset = (SELECT current_setting('norvanta.dataset')::integer)"))) {
        *error = serverText(query.lastError());
        return false;
    }
    // Rows of one annotator share one text, and so do those of one role;
    // a role sent empty is the annotator's name (a window that names none).
    QString annotator;
    QString role;
    while (query.next()) {
        const QString line = query.value(0).toString();
        TeamRow row;
        qsizetype start = 0;
        QStringView fields[7];
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
        row.review = fields[3].toInt();
        if (!fields[4].isEmpty())
            row.reason = fields[4].toString();
        if (fields[5] != annotator)
            annotator = fields[5].toString();
        row.annotator = annotator;
        if (fields[6].isEmpty()) {
            row.role = annotator;
        } else {
            if (fields[6] != role)
                role = fields[6].toString();
            row.role = role;
        }
        row.image = line.mid(start);
        take(std::move(row));
    }
    if (query.lastError().isValid()) {
        *error = serverText(query.lastError());
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
        outcome.error = serverText(saving->lastError());
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
    outcome.row.stamp = saving->value(7).toLongLong();
    outcome.row.review = saving->value(8).toInt();
    // A conflict's row may be another role's: unknown here (empty).
    if (outcome.kind == TeamOutcome::Done)
        outcome.row.role = sessionRole;
    saving->finish();
    return outcome;
}

TeamOutcome TeamDatabase::saveSecond(const QString &image, std::optional<quint32> flags,
                                     qint64 knownStamp, qint64 deadlineMs)
{
    TeamOutcome outcome;
    const QString statement = QStringLiteral("SELECT * FROM norvanta_save_second(?, ?, ?, ?, ?, ?, ?)");
    QSqlQuery *saving = prepared(statement, &outcome.error);
    if (!saving) {
        outcome.kind = TeamOutcome::Failed;
        return outcome;
    }
    saving->bindValue(0, datasetId);
    saving->bindValue(1, image);
    saving->bindValue(2, flags ? QVariant(qint32(*flags)) : QVariant(QMetaType::fromType<qint32>()));
    saving->bindValue(3, knownStamp);
    saving->bindValue(4, annotatorName);
    saving->bindValue(5, clientId);
    saving->bindValue(6, deadlineMs > 0 ? deadlineMs + clockOffsetMs : qint64(0));
    if (!saving->exec() || !saving->next()) {
        outcome.kind = standing() ? TeamOutcome::Failed : TeamOutcome::Unconfirmed;
        outcome.error = saving->lastError().nativeErrorCode() == QStringLiteral("NV008")
            ? tr("此图片已不由当前角色第二次标注")
            : serverText(saving->lastError());
        forget(statement);
        return outcome;
    }
    if (saving->value(0).toBool())
        outcome.kind = TeamOutcome::Conflict;
    outcome.row = secondRowOf(*saving, 1, false);
    saving->finish();
    return outcome;
}

TeamOutcome TeamDatabase::takeSecond(const QStringList &candidates)
{
    TeamOutcome outcome;
    const QString statement = QStringLiteral("SELECT * FROM norvanta_take_second(?, ?, ?, ?)");
    QSqlQuery *query = prepared(statement, &outcome.error);
    if (!query) {
        outcome.kind = TeamOutcome::Failed;
        return outcome;
    }
    query->bindValue(0, datasetId);
    query->bindValue(1, candidates.join(u'/'));
    query->bindValue(2, clientId);
    query->bindValue(3, annotatorName);
    if (!query->exec()) {
        outcome.kind = TeamOutcome::Failed;
        outcome.error = serverText(query->lastError());
        forget(statement);
        return outcome;
    }
    if (query->next()) {
        outcome.row = secondRowOf(*query, 1, false);
        outcome.taken = outcome.row.image;
    }
    query->finish();
    return outcome;
}

TeamOutcome TeamDatabase::review(const QString &image, qint64 knownVersion, bool accept,
                                 const QString &reason)
{
    TeamOutcome outcome;
    const QString statement = QStringLiteral("SELECT * FROM norvanta_review(?, ?, ?, ?, ?, ?, ?)");
    QSqlQuery *query = prepared(statement, &outcome.error);
    outcome.kind = TeamOutcome::Failed;
    if (!query)
        return outcome;
    query->bindValue(0, datasetId);
    query->bindValue(1, image);
    query->bindValue(2, knownVersion);
    query->bindValue(3, accept);
    query->bindValue(4, reason);
    query->bindValue(5, annotatorName);
    query->bindValue(6, clientId);
    if (!query->exec() || !query->next()) {
        const QString code = query->lastError().nativeErrorCode();
        outcome.error = code == QStringLiteral("NV005") ? tr("只有审核人可以审核")
            : code == QStringLiteral("NV006")          ? tr("此图片的标签已更改，请查看后再审核")
            : code == QStringLiteral("NV007")          ? tr("退回须说明原因")
                                                       : serverText(query->lastError());
        forget(statement);
        return outcome;
    }
    outcome.kind = TeamOutcome::Done;
    TeamRow &row = outcome.row;
    row.image = query->value(0).toString();
    row.flags = quint32(query->value(1).toLongLong());
    row.version = query->value(2).toLongLong();
    row.annotator = query->value(3).toString();
    row.savedAtMs = query->value(4).toLongLong();
    row.client = query->value(5).toString();
    row.stamp = query->value(6).toLongLong();
    row.review = query->value(7).toInt();
    row.reason = query->value(8).toString();
    query->finish();
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
        "SELECT flags, version, annotator, (extract(epoch FROM saved_at) * 1000)::bigint, client,"
        " review, review_reason, role FROM norvanta_annotations WHERE dataset = ? AND image = ?");
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
        row->review = query->value(5).toInt();
        row->reason = query->value(6).toString();
        row->role = query->value(7).toString();
    }
    query->finish();
    return true;
}

bool TeamDatabase::readStamped(const QList<qint64> &stamps,
                               const std::function<void(TeamRow &&)> &take)
{
    // The second rows a stamp names come in the same statement, in the
    // columns of the dataset's rows (their stamp as the version) and three
    // more: a settling save gives both rows its stamp.
    const QString statement = QStringLiteral(
        "SELECT false, image, flags, version, annotator, (extract(epoch FROM saved_at) * 1000)::bigint,"
        " client, stamp, review, review_reason, role, NULL::integer, false"
        " FROM norvanta_annotations WHERE dataset = ? AND stamp = ANY (?::bigint[])"
        " UNION ALL SELECT true, s.image, s.flags, s.stamp, s.annotator,"
        " (extract(epoch FROM s.saved_at) * 1000)::bigint, s.client, s.stamp, 0::smallint, '',"
        " s.role, s.first_flags, s.settled_at IS NOT NULL"
        " FROM norvanta_second_rows s WHERE s.dataset = ? AND s.stamp = ANY (?::bigint[])");
    QString error;
    QSqlQuery *query = prepared(statement, &error);
    if (!query)
        return false;
    QStringList numbers;
    for (const qint64 stamp : stamps)
        numbers << QString::number(stamp);
    const QString named = u'{' + numbers.join(u',') + u'}';
    query->bindValue(0, datasetId);
    query->bindValue(1, named);
    query->bindValue(2, datasetId);
    query->bindValue(3, named);
    if (!query->exec()) {
        forget(statement);
        return false;
    }
    while (query->next()) {
        TeamRow row;
        row.second = query->value(0).toBool();
        row.image = query->value(1).toString();
        row.saved = !query->value(2).isNull();
        row.flags = quint32(query->value(2).toLongLong());
        row.version = query->value(3).toLongLong();
        row.annotator = query->value(4).toString();
        row.savedAtMs = query->value(5).toLongLong();
        row.client = query->value(6).toString();
        row.stamp = query->value(7).toLongLong();
        row.review = query->value(8).toInt();
        row.reason = query->value(9).toString();
        row.role = query->value(10).toString();
        if (!query->value(11).isNull())
            row.firstFlags = query->value(11).toLongLong();
        row.settled = query->value(12).toBool();
        take(std::move(row));
    }
    query->finish();
    return true;
}

qint64 TeamDatabase::imports()
{
    const QString statement = QStringLiteral("SELECT imports FROM norvanta_datasets WHERE id = ?");
    QString error;
    QSqlQuery *query = prepared(statement, &error);
    if (!query)
        return -1;
    query->bindValue(0, datasetId);
    if (!query->exec() || !query->next()) {
        forget(statement);
        return -1;
    }
    const qint64 count = query->value(0).toLongLong();
    query->finish();
    return count;
}

bool TeamDatabase::setMember(const QString &role, bool member, bool *changed, QString *error,
                             bool reviewer)
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    error->clear();
    if (!TeamSchema::isOwner(db, error)) {
        if (error->isEmpty())
            *error = tr("只有数据库所有者可以授权或收回数据集 %1").arg(teamAddress.dataset());
        return false;
    }
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = ?)"));
    query.addBindValue(role);
    if (!query.exec() || !query.next()) {
        *error = serverText(query.lastError());
        return false;
    }
    if (!query.value(0).toBool()) {
        *error = tr("服务器上没有角色 %1").arg(role);
        return false;
    }
    // A plain grant leaves a reviewer one; naming a reviewer grants too.
    if (!member)
        query.prepare(QStringLiteral("DELETE FROM norvanta_members WHERE dataset = ? AND role = ?"));
    else if (reviewer)
        query.prepare(QStringLiteral("INSERT INTO norvanta_members AS m (dataset, role, reviewer)"
                                     " VALUES (?, ?, true) ON CONFLICT (dataset, role)"
                                     " DO UPDATE SET reviewer = true WHERE NOT m.reviewer"));
    else
        query.prepare(QStringLiteral("INSERT INTO norvanta_members (dataset, role) VALUES (?, ?)"
                                     " ON CONFLICT DO NOTHING"));
    query.addBindValue(datasetId);
    query.addBindValue(role);
    if (!query.exec()) {
        *error = tr("无法更改数据集的授权：") + serverText(query.lastError());
        return false;
    }
    *changed = query.numRowsAffected() > 0;
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

// Taken over only from this window itself or from one that has not renewed
// it for 120 seconds (a program that died); see norvanta_hold.
TeamOutcome TeamDatabase::hold(const QString &image)
{
    TeamOutcome outcome;
    const QString statement = QStringLiteral("SELECT norvanta_hold(?, ?, ?, ?)");
    QSqlQuery *query = prepared(statement, &outcome.error);
    if (!query) {
        outcome.kind = TeamOutcome::Failed;
        return outcome;
    }
    query->bindValue(0, datasetId);
    // An empty name would reach the server as NULL: then every hold goes.
    query->bindValue(1, image);
    query->bindValue(2, clientId);
    query->bindValue(3, annotatorName);
    if (!query->exec() || !query->next()) {
        outcome.kind = TeamOutcome::Failed;
        outcome.error = serverText(query->lastError());
        forget(statement);
        return outcome;
    }
    outcome.taken = query->value(0).toString();
    query->finish();
    return outcome;
}

bool TeamDatabase::renewHolds()
{
    const QString statement = QStringLiteral("SELECT norvanta_renew(?)");
    QString error;
    QSqlQuery *query = prepared(statement, &error);
    if (!query)
        return false;
    query->bindValue(0, clientId);
    if (!query->exec()) {
        forget(statement);
        return false;
    }
    query->finish();
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
        outcome.error = serverText(query->lastError());
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
    if (!query.exec(QStringLiteral("SELECT norvanta_import_begin()"))) {
        *error = serverText(query.lastError());
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
    PGresult *started = PQexec(connection, "COPY pg_temp.norvanta_incoming (image, flags) FROM STDIN");
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
        *error = serverText(db.lastError());
        return false;
    }
    if (!copyIncoming(rows, error)) {
        db.rollback();
        return false;
    }
    query.prepare(QStringLiteral("SELECT norvanta_import(?, ?, ?)"));
    for (const QVariant &value : {QVariant(datasetId), QVariant(annotatorName), QVariant(clientId)})
        query.addBindValue(value);
    if (!query.exec() || !query.next()) {
        *error = serverText(query.lastError());
        db.rollback();
        return false;
    }
    *changed = query.value(0).toLongLong();
    // One word for the whole import: every window reads the dataset anew.
    query.prepare(QStringLiteral("SELECT pg_notify(?, ?)"));
    query.addBindValue(channel());
    query.addBindValue(importPayload(datasetId));
    if (!query.exec() || !db.commit()) {
        *error = query.lastError().isValid() ? serverText(query.lastError()) : serverText(db.lastError());
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

// The dataset and a stamp, or the dataset and "reload", separated by a tab.
QString TeamDatabase::payloadOf(qint32 dataset, qint64 stamp)
{
    return QStringLiteral("%1\t%2").arg(dataset).arg(stamp);
}

QString TeamDatabase::importPayload(qint32 dataset)
{
    return QStringLiteral("%1\treload").arg(dataset);
}

bool TeamDatabase::readPayloadLine(QStringView line, qint32 dataset, QList<qint64> *stamps,
                                   bool *imported)
{
    const qsizetype tab = line.indexOf(u'\t');
    if (tab <= 0 || line.first(tab).toInt() != dataset)
        return false;
    const QStringView rest = line.mid(tab + 1);
    if (rest == u"reload") {
        *imported = true;
        return true;
    }
    bool number = false;
    const qint64 stamp = rest.toLongLong(&number);
    if (!number || stamp <= 0)
        return false;
    stamps->append(stamp);
    return true;
}
