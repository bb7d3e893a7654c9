#include "predictionserver.h"

#include "labelcatalogue.h"
#include "predictionschema.h"
#include "predictionvalues.h"
#include "teamdatabase.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>
#include <QVariant>

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
    QSqlDatabase db = database();
    if (!PredictionSchema::ensure(db, true, error))
        return false;
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

// A line of text per entry: size, time, probabilities, features (both in
// hexadecimal) and the image, separated by tabs; only the image, last, may
// hold one. One text a row costs the driver one value instead of five.
bool PredictionServer::readModel(qint32 model, QHash<QString, Entry> *entries, QString *error)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    // Integers of this program's own: written into the statement, which the
    // driver then streams without preparing it.
    if (!query.exec(QStringLiteral(
            "SELECT concat_ws(E'\\t', size, modified, encode(probabilities, 'hex'),"
            " coalesce(encode(features, 'hex'), ''), image) FROM norvanta_predictions"
            " WHERE dataset = %1 AND model = %2").arg(team->dataset()).arg(model))) {
        *error = failure(query);
        return false;
    }
    while (query.next()) {
        const QString line = query.value(0).toString();
        QStringView fields[4];
        qsizetype start = 0;
        for (QStringView &field : fields) {
            const qsizetype tab = line.indexOf(u'\t', start);
            field = QStringView(line).mid(start, tab - start);
            start = tab + 1;
        }
        QString image = line.mid(start);
        if (start == 0 || entries->contains(image))
            continue;
        Entry entry;
        entry.size = fields[0].toLongLong();
        entry.modified = fields[1].toLongLong();
        entry.values = PredictionValues::unpack(QByteArray::fromHex(fields[2].toLatin1()));
        entry.features = QByteArray::fromHex(fields[3].toLatin1());
        entry.fileName = image;
        entries->insert(std::move(image), std::move(entry));
    }
    if (query.lastError().isValid()) {
        *error = failure(query);
        return false;
    }
    return true;
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
    if (!PredictionSchema::ensure(db, true, error))
        return found;
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
