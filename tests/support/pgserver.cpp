#include "pgserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUrl>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

static const QString binaries = QStringLiteral("/usr/lib/postgresql/15/bin/");

static bool isRoot()
{
    return ::geteuid() == 0;
}

PgServer::PgServer() = default;

PgServer::~PgServer()
{
    if (running)
        stop();
    if (!folder.isEmpty())
        QDir(folder).removeRecursively();
}

QString PgServer::address(const QString &database, const QString &dataset,
                          const QString &user) const
{
    const QString onPort = port > 0 ? QStringLiteral("&port=%1").arg(port) : QString();
    return QStringLiteral("postgresql://%1@/%2?host=%3&dataset=%4%5")
        .arg(user, database, QString::fromLatin1(QUrl::toPercentEncoding(folder)), dataset, onPort);
}

// The server's programs run as `postgres` under root, in a folder that user
// may enter: the test's working folder may be closed to it.
bool PgServer::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (isRoot())
        process.start(QStringLiteral("runuser"),
                      QStringList{QStringLiteral("-u"), superuser(), QStringLiteral("--"),
                                  binaries + program}
                          + arguments);
    else
        process.start(binaries + program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        error = program + QStringLiteral(" did not finish: ") + process.errorString();
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    return true;
}

bool PgServer::start(bool durable)
{
    durableServer = durable;
    QByteArray name = QFile::encodeName(QDir::tempPath() + QStringLiteral("/norvanta-pg-XXXXXX"));
    if (!::mkdtemp(name.data())) {
        error = QStringLiteral("cannot make a folder for the server");
        return false;
    }
    folder = QFile::decodeName(name);
    if (isRoot()) {
        const passwd *owner = ::getpwnam("postgres");
        if (!owner || ::chown(name.constData(), owner->pw_uid, owner->pw_gid) != 0) {
            error = QStringLiteral("cannot hand the server's folder to the postgres user");
            return false;
        }
    }
    if (!run(QStringLiteral("initdb"),
             {QStringLiteral("-D"), folder + QStringLiteral("/data"), QStringLiteral("-U"),
              superuser(), QStringLiteral("--auth-local=trust"),
              port > 0 ? QStringLiteral("--auth-host=scram-sha-256") : QStringLiteral("--auth-host=trust"),
              QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-locale"),
              QStringLiteral("--no-sync")}))
        return false;
    return restart();
}

// A port the system has just given out and taken back: free unless another
// program takes it in the moment before the server does.
static int freePort()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (probe >= 0)
        ::close(probe);
    return port;
}

bool PgServer::startWithPasswords()
{
    port = freePort();
    if (port == 0) {
        error = QStringLiteral("no free port");
        return false;
    }
    return start();
}

bool PgServer::restart()
{
    if (running) {
        // Immediate: no checkpoint, as after a crash; the server recovers
        // from its write-ahead log when it starts again.
        run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), folder + QStringLiteral("/data"),
                                       QStringLiteral("-m"), QStringLiteral("immediate"),
                                       QStringLiteral("-w"), QStringLiteral("stop")});
        running = false;
    }
    QString options = QStringLiteral("-c listen_addresses='%1' -c unix_socket_directories='%2' "
                                     "-c max_connections=200")
                          .arg(port > 0 ? QStringLiteral("127.0.0.1") : QString(), folder);
    if (port > 0)
        options += QStringLiteral(" -c port=%1").arg(port);
    // Without fsync a commit still reaches the system's files before it is
    // confirmed, so a server stopped at once keeps every confirmed save.
    if (!durableServer)
        options += QStringLiteral(" -c fsync=off");
    running = run(QStringLiteral("pg_ctl"),
                  {QStringLiteral("-D"), folder + QStringLiteral("/data"), QStringLiteral("-l"),
                   folder + QStringLiteral("/server.log"), QStringLiteral("-o"), options,
                   QStringLiteral("-w"), QStringLiteral("start")});
    return running;
}

bool PgServer::stop()
{
    if (!running)
        return true;
    running = !run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), folder + QStringLiteral("/data"), QStringLiteral("-m"),
                    QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")});
    return !running;
}

bool PgServer::execute(const QStringList &statements, const QString &database)
{
    QStringList arguments{QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"),
                          QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), folder,
                          QStringLiteral("-U"), superuser(), QStringLiteral("-d"), database};
    if (port > 0)
        arguments << QStringLiteral("-p") << QString::number(port);
    for (const QString &statement : statements)
        arguments << QStringLiteral("-c") << statement;
    return run(QStringLiteral("psql"), arguments);
}

bool PgServer::createDatabase(const QString &name)
{
    return execute({QStringLiteral("CREATE DATABASE \"%1\"").arg(name)});
}

// The server's processes: the postmaster (the first line of its pid file)
// and its children, found by their parent in /proc.
bool PgServer::signalAll(int signal)
{
    QFile pidFile(folder + QStringLiteral("/data/postmaster.pid"));
    if (!pidFile.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("no server runs");
        return false;
    }
    const QByteArray postmaster = pidFile.readLine().trimmed();
    QList<pid_t> processes{pid_t(postmaster.toInt())};
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (name) state ppid ...: the name may hold spaces, not ')'.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == postmaster)
            processes.append(pid_t(entry.toInt()));
    }
    for (pid_t process : processes)
        ::kill(process, signal);
    return true;
}

bool PgServer::pause()
{
    return signalAll(SIGSTOP);
}

bool PgServer::resume()
{
    return signalAll(SIGCONT);
}
