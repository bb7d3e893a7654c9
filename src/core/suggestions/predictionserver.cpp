#include "predictionserver.h"

#include "labelcatalogue.h"
#include "predictionvalues.h"
#include "teamdatabase.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>
#include <QVariant>
#include <QtEndian>

#include <libpq-fe.h>

namespace {

// An array in PostgreSQL's text form, every element quoted; `quote` false
// for elements that need no quotes (numbers, hexadecimal, NULL).
QString arrayOf(const QStringList &elements, bool quote)
{
    QString text = QStringLiteral("{");
    for (const QString &element : elements) {
        if (text.size() > 1)
            text += u',';
        if (!quote) {
            text += element;
            continue;
        }
        text += u'"';
        for (const QChar c : element) {
            if (c == u'"' || c == u'\\')
                text += u'\\';
            text += c;
        }
        text += u'"';
    }
    return text + u'}';
}

QString failure(const QSqlQuery &query)
{
    return query.lastError().text();
}

} // namespace

PredictionServer::PredictionServer(const TeamAddress &address)
    : address(address)
    , holder(QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

PredictionServer::~PredictionServer() = default;

QSqlDatabase PredictionServer::database() const
{
    return QSqlDatabase::database(team->connectionName(), false);
}

bool PredictionServer::connect(QString *error)
{
    if (!team || teamThread != QThread::currentThread()) {
        team = std::make_unique<TeamDatabase>(address, labelCatalogue(), resolveAnnotator(QString()),
                                              holder);
        teamThread = QThread::currentThread();
    }
    return team->open(error);
}

bool PredictionServer::findModel(const QByteArray &sha256, qint32 *id, QString *error)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT id FROM norvanta_prediction_models"
                                 " WHERE name = ? AND sha256 = decode(coalesce(?, ''), 'hex')"));
    query.addBindValue(name);
    query.addBindValue(QString::fromLatin1(sha256.toHex()));
    if (!query.exec()) {
        *error = failure(query);
        return false;
    }
    *id = query.next() ? query.value(0).toInt() : 0;
    return true;
}

bool PredictionServer::open(const QString &modelName, const QByteArray &sha256, QString *error)
{
    ownModel = 0;
    name = modelName;
    if (!connect(error))
        return false;
    // The tables and functions were made with the rest of the team's
    // schema, by the owner's open (TeamSchema).
    QSqlDatabase db = database();
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT norvanta_prediction_model(?, ?)"));
    query.addBindValue(name);
    query.addBindValue(QString::fromLatin1(sha256.toHex()));
    if (!query.exec() || !query.next()) {
        *error = failure(query);
        return false;
    }
    ownModel = query.value(0).toInt();
    return ownModel > 0;
}

namespace {

PGconn *connectionOf(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    // The driver names the type by libpq's struct.
    const QByteArrayView type(handle.typeName());
    return type == "pg_conn*" || type == "PGconn*" ? *static_cast<PGconn *const *>(handle.constData())
                                                   : nullptr;
}

// COPY's binary form, taken in as it comes: a signature, flags and an
// extension, then per row the count of fields and each field's length
// (-1: NULL) and bytes, big-endian; a count of -1 ends it.
class CopiedRows
{
public:
    explicit CopiedRows(QHash<QString, PredictionStore::Entry> *entries)
        : entries(entries), first(entries->isEmpty()) {}

    void take(const char *data, int size)
    {
        pending.append(data, size);
        qsizetype at = 0;
        if (!headed) {
            if (pending.size() < 19)
                return;
            at = 19 + qFromBigEndian<qint32>(pending.constData() + 15);
            if (pending.size() < at)
                return;
            headed = true;
        }
        while (const qsizetype next = row(at))
            at = next;
        pending.remove(0, at);
    }
    bool ended = false;
    bool understood = true;

private:
    // The end of the row that starts at `at`, 0 while it has not all come.
    qsizetype row(qsizetype at)
    {
        if (ended || pending.size() < at + 2)
            return 0;
        const qint16 count = qFromBigEndian<qint16>(pending.constData() + at);
        if (count != 5) {
            ended = true;
            understood = count == -1;
            return 0;
        }
        QByteArrayView fields[5];
        qsizetype end = at + 2;
        for (QByteArrayView &field : fields) {
            if (pending.size() < end + 4)
                return 0;
            const qint32 length = qFromBigEndian<qint32>(pending.constData() + end);
            end += 4;
            if (length > 0 && pending.size() < end + length)
                return 0;
            field = length > 0 ? QByteArrayView(pending.constData() + end, length) : QByteArrayView();
            end += qMax(length, 0);
        }
        QString image = QString::fromUtf8(fields[0]);
        if (!first && entries->contains(image))
            return end;
        PredictionStore::Entry entry;
        entry.size = fields[1].size() == 8 ? qFromBigEndian<qint64>(fields[1].data()) : -1;
        entry.modified = fields[2].size() == 8 ? qFromBigEndian<qint64>(fields[2].data()) : -1;
        entry.values = PredictionValues::unpack(fields[3]);
        entry.features = fields[4].toByteArray();
        entry.fileName = image;
        entries->emplace(std::move(image), std::move(entry));
        return end;
    }

    QHash<QString, PredictionStore::Entry> *entries;
    const bool first;
    QByteArray pending;
    bool headed = false;
};

} // namespace

// The rows come by COPY in its binary form, through the connection Qt's
// driver holds: the server sends each value as it keeps it, and a million
// entries arrive in about a second, where a statement's text form costs
// the server a conversion of every value and this program one back.
bool PredictionServer::readModel(qint32 model, QHash<QString, Entry> *entries, QString *error)
{
    PGconn *connection = connectionOf(database());
    if (!connection) {
        *error = tr("数据库驱动不支持 COPY");
        return false;
    }
    // Integers of this program's own, written into the statement.
    const QByteArray statement =
        QStringLiteral("COPY (SELECT image, size, modified, probabilities, features"
                       " FROM norvanta_predictions WHERE dataset = %1 AND model = %2)"
                       " TO STDOUT (FORMAT binary)").arg(team->dataset()).arg(model).toLatin1();
    PGresult *started = PQexec(connection, statement.constData());
    const bool copying = PQresultStatus(started) == PGRES_COPY_OUT;
    PQclear(started);
    bool read = copying;
    if (copying) {
        CopiedRows rows(entries);
        char *buffer = nullptr;
        int size = 0;
        while ((size = PQgetCopyData(connection, &buffer, 0)) > 0) {
            rows.take(buffer, size);
            PQfreemem(buffer);
        }
        read = size == -1 && rows.ended && rows.understood;
    }
    while (PGresult *result = PQgetResult(connection)) {
        read = read && PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    }
    if (!read)
        *error = QString::fromUtf8(PQerrorMessage(connection)).trimmed();
    return read;
}

QHash<QString, PredictionStore::Entry> PredictionServer::readAll(QString *error)
{
    QHash<QString, Entry> entries;
    if (ownModel <= 0) {
        *error = tr("预测尚未打开");
        return entries;
    }
    qint32 imported = 0;
    if (!connect(error) || !readModel(ownModel, &entries, error)
        || !findModel(QByteArray(), &imported, error))
        return {};
    if (imported > 0 && imported != ownModel && !readModel(imported, &entries, error))
        return {};
    return entries;
}

bool PredictionServer::write(const QList<Entry> &entries, QString *error)
{
    if (ownModel <= 0) {
        *error = tr("预测尚未打开");
        return false;
    }
    if (entries.isEmpty())
        return true;
    if (!connect(error))
        return false;
    // One entry a name, the last given: the server writes each row once.
    QHash<QString, qsizetype> last;
    for (qsizetype i = 0; i < entries.size(); ++i)
        last.insert(entries.at(i).fileName, i);
    QStringList images, sizes, times, values, features;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const Entry &entry = entries.at(i);
        if (last.value(entry.fileName) != i)
            continue;
        images << entry.fileName;
        sizes << QString::number(entry.size);
        times << QString::number(entry.modified);
        values << QString::fromLatin1(PredictionValues::pack(entry.values).toHex());
        features << (entry.features.isEmpty() ? QStringLiteral("NULL")
                                              : QString::fromLatin1(entry.features.toHex()));
    }
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT norvanta_write_predictions(?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const QVariant &value :
         {QVariant(team->dataset()), QVariant(ownModel), QVariant(holder),
          QVariant(arrayOf(images, true)), QVariant(arrayOf(sizes, false)),
          QVariant(arrayOf(times, false)), QVariant(arrayOf(values, false)),
          QVariant(arrayOf(features, false))})
        query.addBindValue(value);
    if (!query.exec()) {
        *error = failure(query);
        return false;
    }
    return true;
}

QByteArray PredictionServer::readWeights(QString *error)
{
    if (ownModel <= 0 || !connect(error))
        return QByteArray();
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT weights FROM norvanta_prediction_weights"
                                 " WHERE dataset = ? AND model = ?"));
    query.addBindValue(team->dataset());
    query.addBindValue(ownModel);
    if (!query.exec()) {
        *error = failure(query);
        return QByteArray();
    }
    return query.next() ? query.value(0).toByteArray() : QByteArray();
}

bool PredictionServer::writeWeights(const QByteArray &weights, QString *error)
{
    if (ownModel <= 0) {
        *error = tr("预测尚未打开");
        return false;
    }
    if (!connect(error))
        return false;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT norvanta_write_prediction_weights(?, ?, ?)"));
    query.addBindValue(team->dataset());
    query.addBindValue(ownModel);
    query.addBindValue(QString::fromLatin1(weights.toHex()));
    if (!query.exec()) {
        *error = failure(query);
        return false;
    }
    return true;
}

bool PredictionServer::takeTrainingTurn(int seconds, QString *error)
{
    if (ownModel <= 0) {
        *error = tr("预测尚未打开");
        return false;
    }
    if (!connect(error))
        return false;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT norvanta_take_training_turn(?, ?, ?, ?)"));
    query.addBindValue(team->dataset());
    query.addBindValue(ownModel);
    query.addBindValue(holder);
    query.addBindValue(seconds);
    if (!query.exec() || !query.next()) {
        *error = failure(query);
        return false;
    }
    const bool granted = query.value(0).toBool();
    if (granted)
        turnModel = ownModel;
    return granted;
}

void PredictionServer::giveTrainingTurn()
{
    QString error;
    if (turnModel <= 0 || !connect(&error))
        return;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT norvanta_give_training_turn(?, ?, ?)"));
    query.addBindValue(team->dataset());
    query.addBindValue(turnModel);
    query.addBindValue(holder);
    if (query.exec())
        turnModel = 0;
    else
        qWarning().noquote() << "turn to train not given back:" << failure(query);
}

QStringList PredictionServer::claim(const QStringList &names, QString *error)
{
    QStringList taken;
    if (ownModel <= 0) {
        *error = tr("预测尚未打开");
        return taken;
    }
    if (names.isEmpty() || !connect(error))
        return taken;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT * FROM norvanta_claim_predictions(?, ?, ?, ?)"));
    query.addBindValue(team->dataset());
    query.addBindValue(ownModel);
    query.addBindValue(arrayOf(names, true));
    query.addBindValue(holder);
    if (!query.exec()) {
        *error = failure(query);
        return taken;
    }
    QSet<QString> claimed;
    while (query.next())
        claimed.insert(query.value(0).toString());
    // In the order asked for.
    for (const QString &image : names) {
        if (claimed.remove(image))
            taken << image;
    }
    return taken;
}

QList<PredictionStore::Model> PredictionServer::models(QString *error)
{
    QList<Model> found;
    if (!connect(error))
        return found;
    QSqlDatabase db = database();
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "SELECT name, encode(sha256, 'hex') FROM norvanta_prediction_models m WHERE EXISTS"
        " (SELECT 1 FROM norvanta_predictions p WHERE p.dataset = ? AND p.model = m.id)"
        " ORDER BY name, sha256"));
    query.addBindValue(team->dataset());
    if (!query.exec()) {
        *error = failure(query);
        return found;
    }
    while (query.next())
        found.append({query.value(0).toString(), QByteArray::fromHex(query.value(1).toByteArray())});
    return found;
}
