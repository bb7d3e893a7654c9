#pragma once

#include <QString>
#include <QStringList>

// A PostgreSQL 15 server of a test's own: a fresh cluster in a temporary
// folder under /tmp, listening on a Unix socket in that folder only (no
// TCP), with every local connection trusted. Run as the `postgres` user when
// the test runs as root, since the server refuses to run as root; the folder
// is made for that user, never inside the checkout, which it may not enter.
// Stopped, and its folder removed, when this goes.
class PgServer final
{
public:
    PgServer();
    ~PgServer();
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // Makes the cluster and starts the server; false with errorString() when
    // either failed. `durable` keeps fsync on, as a real server has it;
    // without it the server survives its own crash, not the machine's.
    bool start(bool durable = false);
    // The same, listening also on 127.0.0.1 at a free port, where every
    // role logs in with its password (scram-sha-256); the socket stays
    // trusted.
    bool startWithPasswords();
    // The TCP port, 0 when the server listens on its socket only.
    int tcpPort() const { return port; }
    bool stop();
    // Stops the server at once, as a crash would, and starts it again.
    bool restart();
    // Stops every process of the server with SIGSTOP, as a machine that
    // no longer answers, and lets them go on with SIGCONT.
    bool pause();
    bool resume();
    bool isRunning() const { return running; }
    QString errorString() const { return error; }

    // The folder that holds the server's socket.
    QString socketFolder() const { return folder; }
    // The role the server was made with: every connection may use it.
    static QString superuser() { return QStringLiteral("postgres"); }
    // An address the program takes, on the database `database` (made with
    // createDatabase()) and the dataset `dataset`, as `user`.
    QString address(const QString &database, const QString &dataset,
                    const QString &user = superuser()) const;

    // Runs `statements` one after another on `database` as the superuser;
    // false with errorString() at the first that fails.
    bool execute(const QStringList &statements, const QString &database = QStringLiteral("postgres"));
    bool createDatabase(const QString &name);

private:
    bool signalAll(int signal);
    bool run(const QString &program, const QStringList &arguments, int timeoutMs = 120000);

    QString folder;
    int port = 0;
    bool running = false;
    bool durableServer = false;
    QString error;
};
