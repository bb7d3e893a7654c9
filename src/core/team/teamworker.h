#pragma once

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
        qint64 version = 0;
        qint64 savedAtMs = 0;
    };

    QHash<QString, Entry> rows;
    QStringList people;
    QStringList clients;

    // Enters `row`, replacing an older version; false when it held this
    // version or a later one already.
    bool enter(const TeamRow &row);
    QString annotatorOf(const Entry &entry) const { return people.value(entry.annotator); }
    QString clientOf(const Entry &entry) const { return clients.value(entry.client); }

private:
    QHash<QString, qint32> personIndex;
    QHash<QString, qint32> clientIndex;
};

// One answer from the worker, awaited by the thread that asked.
class TeamReply final
{
public:
    // Waits at most `milliseconds`; true once the answer is there.
    bool wait(int milliseconds);
    // False when the asker gave the answer up first (abandon()).
    bool answer(TeamOutcome outcome, std::shared_ptr<TeamSnapshot> snapshot = {});
    // The asker no longer waits; false when the answer came first.
    bool abandon();
    TeamOutcome outcome() const;
    std::shared_ptr<TeamSnapshot> snapshot() const;

private:
    mutable QMutex mutex;
    QWaitCondition answered;
    bool done = false;
    bool abandoned = false;
    TeamOutcome result;
    std::shared_ptr<TeamSnapshot> rows;
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
    void hold(const QString &image);
    void takeNext(const QStringList &candidates, const std::shared_ptr<TeamReply> &reply);
    // Lets go of every hold and closes both connections.
    void finish();
    // Ends the statement under way on the server, if any; from any thread.
    void cancelFromAnyThread() const { database.cancelFromAnyThread(); }
    std::function<void()> cancelling() const { return database.cancelling(); }

signals:
    // Another window (or this one) saved a row; `row` is as saved.
    void rowChanged(const TeamRow &row);
    // The dataset was read anew after changes this window could not follow
    // (an import, a lost listening connection).
    void reloaded(std::shared_ptr<TeamSnapshot> snapshot);

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
    std::shared_ptr<TeamSnapshot> readAll(QString *error);

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
    QElapsedTimer lastAnnounced;
    QTimer *announcement = nullptr;
    QTimer *renewal = nullptr;
    QTimer *listenerCheck = nullptr;
};
