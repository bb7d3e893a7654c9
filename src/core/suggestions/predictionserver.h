#pragma once

#include "predictionstore.h"
#include "teamaddress.h"

#include <QCoreApplication>

class QSqlDatabase;
class QThread;
class TeamDatabase;

// The predictions of a team's dataset, in norvanta_predictions on its
// server (made with the rest of the team's schema, see TeamSchema), shared by every member: what one member's
// program predicted, the others read. claim() keeps two programs from
// predicting the same image at once; a claim lapses after a minute, so one
// left by a program that stopped costs that minute only. Every change goes
// through a server function, a member's role only reads the tables.
class PredictionServer final : public PredictionStore
{
    Q_DECLARE_TR_FUNCTIONS(PredictionServer)

public:
    explicit PredictionServer(const TeamAddress &address);
    ~PredictionServer() override;
    PredictionServer(const PredictionServer &) = delete;
    PredictionServer &operator=(const PredictionServer &) = delete;

    bool open(const QString &modelName, const QByteArray &sha256, QString *error) override;
    QHash<QString, Entry> readAll(QString *error) override;
    bool write(const QList<Entry> &entries, QString *error) override;
    QStringList claim(const QStringList &names, QString *error) override;
    QList<Model> models(QString *error) override;
    QByteArray readWeights(QString *error) override;
    bool writeWeights(const QByteArray &weights, QString *error) override;
    // The turn is a row of norvanta_training_turns per dataset and model,
    // taken and given back through server functions; one whose time ran out
    // goes to the next that asks.
    bool takeTrainingTurn(int seconds, QString *error) override;
    void giveTrainingTurn() override;

private:
    // The connection of the calling thread, connected anew when it was lost.
    bool connect(QString *error);
    QSqlDatabase database() const;
    bool findModel(const QByteArray &sha256, qint32 *id, QString *error);
    bool readModel(qint32 model, QHash<QString, Entry> *entries, QString *error);

    TeamAddress address;
    std::unique_ptr<TeamDatabase> team;
    QThread *teamThread = nullptr;
    // Names this store's claims among every program's.
    QString holder;
    QString name;
    qint32 ownModel = 0; // 0: not opened
    // The model whose turn to train this store holds; 0: none.
    qint32 turnModel = 0;
};
