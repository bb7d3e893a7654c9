#pragma once

#include "predictionstore.h"

#include <QCoreApplication>

class QSqlDatabase;
class QSqlQuery;
class QThread;

// The predictions kept beside an annotation file, in the SQLite database
// "<file>.predictions.sqlite", made by the first open() and never before.
//
// Two tables: the models (an integer key per name and digest) and the
// entries, keyed by model and image name in one B-tree of their own
// (WITHOUT ROWID), the probabilities packed in one BLOB
// (PredictionValues), so a million entries of 19 labels take about 80 MB.
// The journal is a write-ahead log: programs on the same file read while
// another writes, and a writer waits for another's transaction (busy
// timeout, then a few tries more) instead of failing or losing entries.
// Every write takes the write lock at its start (BEGIN IMMEDIATE), so two
// writers never deadlock on upgrading a reading transaction.
class PredictionFile final : public PredictionStore
{
    Q_DECLARE_TR_FUNCTIONS(PredictionFile)

public:
    explicit PredictionFile(const QString &annotationPath);
    ~PredictionFile() override;
    PredictionFile(const PredictionFile &) = delete;
    PredictionFile &operator=(const PredictionFile &) = delete;

    bool open(const QString &modelName, const QByteArray &sha256, QString *error) override;
    QHash<QString, Entry> readAll(QString *error) override;
    // Streams the rows as SQLite gives them, holding none of them.
    bool readEach(const std::function<void(const Entry &)> &take, bool withFeatures,
                  QString *error) override;
    bool write(const QList<Entry> &entries, QString *error) override;
    QList<Model> models(QString *error) override;
    QByteArray readWeights(QString *error) override;
    bool writeWeights(const QByteArray &weights, QString *error) override;

    QString path() const { return databasePath; }
    static QString pathBeside(const QString &annotationPath);

private:
    // The connection of the calling thread, made when missing.
    bool connect(QString *error);
    void disconnect();
    QSqlDatabase database() const;
    // A write transaction, tried again while another program holds the lock.
    bool begin(QString *error);
    bool end(bool commit, QString *error);
    bool findModel(const QByteArray &sha256, qint64 *id, QString *error);
    bool readModel(qint64 model, bool withFeatures, const std::function<void(Entry &&)> &take,
                   QString *error);
    // The model of the predictions imported under the opened one's name; 0
    // when there is none but the opened model.
    bool findImported(qint64 *id, QString *error);

    QString databasePath;
    QString connection;
    QThread *connectionThread = nullptr;
    QString name;
    qint64 ownModel = 0; // 0: not opened
};
