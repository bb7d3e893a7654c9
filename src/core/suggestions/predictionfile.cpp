#include "predictionfile.h"

#include "predictionvalues.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

namespace {

QString freshConnectionName()
{
    static QAtomicInt count;
    return QStringLiteral("norvanta-predictions-%1").arg(count.fetchAndAddRelaxed(1));
}

// SQLite's code for a database another connection holds locked.
const QString busy = QStringLiteral("5");

// How often a write asks again for the lock once the busy timeout ran out.
constexpr int tries = 5;

const char *const schema[] = {
    "CREATE TABLE IF NOT EXISTS models (id INTEGER PRIMARY KEY, name TEXT NOT NULL,"
    " sha256 BLOB NOT NULL, UNIQUE (name, sha256))",
    "CREATE TABLE IF NOT EXISTS predictions (model INTEGER NOT NULL, image TEXT NOT NULL,"
    " size INTEGER NOT NULL, modified INTEGER NOT NULL, probabilities BLOB NOT NULL,"
    " features BLOB, PRIMARY KEY (model, image)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS weights (model INTEGER PRIMARY KEY, bytes BLOB NOT NULL)",
};

QString failure(const QSqlQuery &query)
{
    return query.lastError().text();
}

} // namespace

PredictionFile::PredictionFile(const QString &annotationPath)
    : databasePath(pathBeside(annotationPath))
{
}

PredictionFile::~PredictionFile()
{
    disconnect();
}

QString PredictionFile::pathBeside(const QString &annotationPath)
{
    return annotationPath + QStringLiteral(".predictions.sqlite");
}

QSqlDatabase PredictionFile::database() const
{
    return QSqlDatabase::database(connection, false);
}

void PredictionFile::disconnect()
{
    // Removed without asking for it first: asking from another thread than
    // its own is refused, removing is not.
    if (!connection.isEmpty())
        QSqlDatabase::removeDatabase(connection);
    connection.clear();
    connectionThread = nullptr;
}

bool PredictionFile::connect(QString *error)
{
    if (!connection.isEmpty() && connectionThread == QThread::currentThread())
        return true;
    disconnect();
    connection = freshConnectionName();
    connectionThread = QThread::currentThread();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(databasePath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open()) {
        *error = tr("无法打开预测数据库 %1：%2").arg(databasePath, db.lastError().text());
        disconnect();
        return false;
    }
    // The log stays set in the file once made; a program making it at the
    // same moment may hold the file for that instant. Losing the last
    // commits on a power cut costs predictions only, never the file.
    QSqlQuery query(db);
    bool set = false;
    for (int i = 0; i < tries && !set; ++i)
        set = query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    // Read through the memory map, not copied page by page: a million
    // entries are read at every start.
    if (!set || !query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))
        || !query.exec(QStringLiteral("PRAGMA mmap_size=268435456"))) {
        *error = tr("无法打开预测数据库 %1：%2").arg(databasePath, failure(query));
        disconnect();
        return false;
    }
    return true;
}

bool PredictionFile::begin(QString *error)
{
    QSqlQuery query(database());
    for (int i = 0; i < tries; ++i) {
        if (query.exec(QStringLiteral("BEGIN IMMEDIATE")))
            return true;
        if (query.lastError().nativeErrorCode() != busy)
            break;
    }
    *error = failure(query);
    return false;
}

bool PredictionFile::end(bool commit, QString *error)
{
    QSqlQuery query(database());
    if (commit && query.exec(QStringLiteral("COMMIT")))
        return true;
    if (commit)
        *error = failure(query);
    query.exec(QStringLiteral("ROLLBACK"));
    return false;
}

bool PredictionFile::findModel(const QByteArray &sha256, qint64 *id, QString *error)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT id FROM models WHERE name = ? AND sha256 = coalesce(?, X'')"));
    query.addBindValue(name);
    query.addBindValue(sha256);
    if (!query.exec()) {
        *error = failure(query);
        return false;
    }
    *id = query.next() ? query.value(0).toLongLong() : 0;
    return true;
}

bool PredictionFile::open(const QString &modelName, const QByteArray &sha256, QString *error)
{
    ownModel = 0;
    name = modelName;
    if (!connect(error) || !begin(error))
        return false;
    QSqlQuery query(database());
    bool done = true;
    for (const char *statement : schema)
        done = done && query.exec(QString::fromLatin1(statement));
    if (done) {
        query.prepare(QStringLiteral("INSERT OR IGNORE INTO models (name, sha256)"
                                     " VALUES (?, coalesce(?, X''))"));
        query.addBindValue(name);
        query.addBindValue(sha256);
        done = query.exec();
    }
    if (!done)
        *error = failure(query);
    done = done && findModel(sha256, &ownModel, error);
    return end(done, error) && ownModel > 0;
}

bool PredictionFile::readModel(qint64 model, bool withFeatures,
                               const std::function<void(Entry &&)> &take, QString *error)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(withFeatures ? QStringLiteral("SELECT image, size, modified, probabilities, features"
                                                " FROM predictions WHERE model = ?")
                               : QStringLiteral("SELECT image, size, modified, probabilities"
                                                " FROM predictions WHERE model = ?"));
    query.addBindValue(model);
    if (!query.exec()) {
        *error = failure(query);
        return false;
    }
    while (query.next()) {
        Entry entry;
        entry.fileName = query.value(0).toString();
        entry.size = query.value(1).toLongLong();
        entry.modified = query.value(2).toLongLong();
        entry.values = PredictionValues::unpack(query.value(3).toByteArray());
        if (withFeatures)
            entry.features = query.value(4).toByteArray();
        take(std::move(entry));
    }
    if (query.lastError().isValid()) {
        *error = failure(query);
        return false;
    }
    return true;
}

bool PredictionFile::findImported(qint64 *id, QString *error)
{
    if (!findModel(QByteArray(""), id, error))
        return false;
    if (*id == ownModel)
        *id = 0;
    return true;
}

QHash<QString, PredictionStore::Entry> PredictionFile::readAll(QString *error)
{
    QHash<QString, Entry> entries;
    if (ownModel <= 0) {
        *error = tr("预测数据库尚未打开");
        return entries;
    }
    if (!connect(error))
        return {};
    // Made to size at once: growing a table of a million entries step by
    // step costs more than reading them.
    QSqlQuery counting(database());
    counting.prepare(QStringLiteral("SELECT count(*) FROM predictions WHERE model = ?"));
    counting.addBindValue(ownModel);
    if (counting.exec() && counting.next())
        entries.reserve(counting.value(0).toLongLong());
    const bool read = readEach([&](const Entry &entry) { entries.insert(entry.fileName, entry); },
                               true, error);
    return read ? entries : QHash<QString, Entry>();
}

bool PredictionFile::readEach(const std::function<void(const Entry &)> &take, bool withFeatures,
                              QString *error)
{
    if (ownModel <= 0) {
        *error = tr("预测数据库尚未打开");
        return false;
    }
    qint64 imported = 0;
    if (!connect(error) || !findImported(&imported, error))
        return false;
    // The imported entries count where the model has none of its own: only
    // then are its own names kept to tell.
    QSet<QString> own;
    if (!readModel(ownModel, withFeatures, [&](Entry &&entry) {
            if (imported > 0)
                own.insert(entry.fileName);
            take(entry);
        }, error))
        return false;
    return imported <= 0 || readModel(imported, withFeatures, [&](Entry &&entry) {
        if (!own.contains(entry.fileName))
            take(entry);
    }, error);
}

bool PredictionFile::write(const QList<Entry> &entries, QString *error)
{
    if (ownModel <= 0) {
        *error = tr("预测数据库尚未打开");
        return false;
    }
    if (!connect(error) || !begin(error))
        return false;
    QSqlQuery query(database());
    bool done = query.prepare(QStringLiteral(
        "INSERT OR REPLACE INTO predictions (model, image, size, modified, probabilities, features)"
        " VALUES (?, ?, ?, ?, ?, ?)"));
    for (qsizetype i = 0; done && i < entries.size(); ++i) {
        const Entry &entry = entries.at(i);
        query.bindValue(0, ownModel);
        query.bindValue(1, entry.fileName);
        query.bindValue(2, entry.size);
        query.bindValue(3, entry.modified);
        query.bindValue(4, PredictionValues::pack(entry.values));
        query.bindValue(5, entry.features.isEmpty() ? QVariant() : QVariant(entry.features));
        done = query.exec();
    }
    if (!done)
        *error = failure(query);
    return end(done, error);
}

QByteArray PredictionFile::readWeights(QString *error)
{
    if (ownModel <= 0 || !connect(error))
        return QByteArray();
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT bytes FROM weights WHERE model = ?"));
    query.addBindValue(ownModel);
    if (!query.exec()) {
        *error = failure(query);
        return QByteArray();
    }
    return query.next() ? query.value(0).toByteArray() : QByteArray();
}

bool PredictionFile::writeWeights(const QByteArray &weights, QString *error)
{
    if (ownModel <= 0) {
        *error = tr("预测数据库尚未打开");
        return false;
    }
    if (!connect(error) || !begin(error))
        return false;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO weights (model, bytes) VALUES (?, ?)"));
    query.addBindValue(ownModel);
    query.addBindValue(weights);
    const bool done = query.exec();
    if (!done)
        *error = failure(query);
    return end(done, error);
}

QList<PredictionStore::Model> PredictionFile::models(QString *error)
{
    QList<Model> found;
    // Asking must not make the file.
    if (!QFileInfo(databasePath).isFile() || !connect(error))
        return found;
    QSqlQuery query(database());
    if (!query.exec(QStringLiteral("SELECT name, sha256 FROM models m WHERE EXISTS"
                                   " (SELECT 1 FROM predictions p WHERE p.model = m.id)"
                                   " ORDER BY name, sha256"))) {
        // A file made by a program that stopped before its tables.
        if (!query.lastError().text().contains(QStringLiteral("no such table")))
            *error = failure(query);
        return found;
    }
    while (query.next())
        found.append({query.value(0).toString(), query.value(1).toByteArray()});
    return found;
}
