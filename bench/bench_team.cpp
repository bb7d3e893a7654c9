// A team on one server: a fresh PostgreSQL server, a dataset imported from a
// file of N rows (every other one marked), then C client processes at once,
// each opening the dataset and doing S save-and-next steps with Ctrl+U from
// the first image. Prints the import time, the opening time, the save
// latency (median and 99th percentile), rows lost, images saved by two
// clients through Ctrl+U, the time until another client hears of a save
// (99th percentile) and the peak memory per client.
//
// With PAUSE, a client waits between its steps, as a person looks at each
// image before the next: PAUSE milliseconds on average, drawn at random
// between half and one and a half times that (people do not step in
// lockstep), and its first step comes at a random moment of the first PAUSE.
// Without it the clients step as fast as they can, all from the same moment.
//
//   bench_team [ROWS [CLIENTS [SAVES [PAUSE]]]]     (1000000 20 200 0 by default)
#include "annotationformat.h"
#include "labelcatalogue.h"
#include "pgserver.h"
#include "teamaddress.h"
#include "teamstore.h"
#include "teamtransfer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSet>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QString imageName(qsizetype i)
{
    return QStringLiteral("img%1.png").arg(i, 7, 10, QLatin1Char('0'));
}

QStringList imageNames(qsizetype rows)
{
    QStringList names;
    names.reserve(rows);
    for (qsizetype i = 0; i < rows; ++i)
        names.append(imageName(i));
    return names;
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(share * values.size()))];
}

qint64 peakKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// One client: opens the dataset, lists every image, and steps with Ctrl+U
// and a save. Prints what it did, one fact a line.
int client(const QString &addressText, qsizetype rows, int saves, int pause, int number)
{
    QString error;
    const auto address = TeamAddress::parse(addressText, &error);
    TeamStore store(*address, labelCatalogue(), QStringLiteral("client%1").arg(number));
    // The folder's listing is ready when the dataset is opened.
    const QStringList names = imageNames(rows);
    QElapsedTimer opening;
    opening.start();
    if (!store.open(&error)) {
        std::printf("error %s\n", qPrintable(error));
        return 1;
    }
    store.setListedNames(names);
    std::printf("open %.1f\n", opening.nsecsElapsed() / 1e6);
    // Every client saves at once: each waits for the word after opening.
    std::printf("ready\n");
    std::fflush(stdout);
    char word[8];
    if (!std::fgets(word, sizeof word, stdin))
        return 1;
    QObject::connect(&store, &TeamStore::savedElsewhere, &store, [&store](const QString &name) {
        std::printf("heard %lld\n",
                    QDateTime::currentMSecsSinceEpoch() - store.savedAt(name));
    });
    // The steps run from the event loop, as a window's do: notifications
    // are handled between two steps, as soon as they arrive.
    qsizetype position = -1;
    int done = 0;
    const QStringList labels = labelCatalogue();
    QEventLoop loop;
    QRandomGenerator random{quint32(number)};
    std::function<void()> step = [&] {
        if (done == saves) {
            // Time for the others' last saves to arrive.
            QTimer::singleShot(2000, &loop, &QEventLoop::quit);
            return;
        }
        position = store.takeNextUnmarked(position, {}, &error);
        if (position < 0) {
            std::printf("error %s\n",
                        qPrintable(error.isEmpty() ? QStringLiteral("none left") : error));
            loop.quit();
            return;
        }
        const QString name = store.listedNames().at(position);
        store.showing(name);
        QElapsedTimer saving;
        saving.start();
        const auto saved = store.saveRow(name, {labels.at(done % labels.size())});
        const double milliseconds = saving.nsecsElapsed() / 1e6;
        if (saved == SaveResult::Saved)
            std::printf("saved %.3f %s\n", milliseconds, qPrintable(name));
        else
            std::printf("failed %s\n", qPrintable(store.refusalDetail()));
        ++done;
        QTimer::singleShot(pause > 0 ? pause / 2 + random.bounded(pause + 1) : 0, &loop, step);
    };
    QTimer::singleShot(pause > 0 ? random.bounded(pause) : 0, &loop, step);
    loop.exec();
    std::printf("peak %lld\n", peakKilobytes());
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == QStringLiteral("--client"))
        return client(arguments.at(2), arguments.at(3).toLongLong(), arguments.at(4).toInt(),
                      arguments.at(5).toInt(), arguments.at(6).toInt());

    const qsizetype rows = arguments.size() > 1 ? arguments.at(1).toLongLong() : 1000000;
    const int clients = arguments.size() > 2 ? arguments.at(2).toInt() : 20;
    const int saves = arguments.size() > 3 ? arguments.at(3).toInt() : 200;
    const int pause = arguments.size() > 4 ? arguments.at(4).toInt() : 0;

    PgServer server;
    if (!server.start(true) || !server.createDatabase(QStringLiteral("bench"))) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const QString addressText = server.address(QStringLiteral("bench"), QStringLiteral("team"));
    QString error;
    const TeamAddress address = *TeamAddress::parse(addressText, &error);

    QTemporaryDir dir;
    {
        QFile file(dir.filePath(QStringLiteral("labels.csv")));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        QByteArray content = AnnotationFormat::headerRow(labelCatalogue()).toUtf8() + '\n';
        for (qsizetype i = 0; i < rows; ++i) {
            content += imageName(i).toUtf8();
            for (int k = 0; k < 19; ++k)
                content += (i % 2 == 1 && k == i % 19) ? ",1" : ",0";
            content += '\n';
        }
        file.write(content);
    }
    QElapsedTimer importing;
    importing.start();
    const auto imported = TeamTransfer::importFile(dir.filePath(QStringLiteral("labels.csv")), address,
                                                   labelCatalogue(), QStringLiteral("importer"));
    const double importSeconds = importing.nsecsElapsed() / 1e9;
    if (!imported.ok) {
        std::fprintf(stderr, "import: %s\n", qPrintable(imported.text));
        return 1;
    }
    std::printf("%lld rows, %d clients, %d saves each, %d ms apart\n", qint64(rows), clients, saves,
                pause);
    std::printf("import:                    %.1f s\n", importSeconds);
    // The import's writes go to disk now, rather than in a checkpoint that
    // would fall among the clients' saves.
    server.execute({QStringLiteral("CHECKPOINT")});

    // Opening alone, as one person's window does.
    double openAlone = 0;
    {
        TeamStore store(address, labelCatalogue(), QStringLiteral("reader"));
        const QStringList names = imageNames(rows);
        QElapsedTimer opening;
        opening.start();
        if (!store.open(&error)) {
            std::fprintf(stderr, "open: %s\n", qPrintable(error));
            return 1;
        }
        store.setListedNames(names);
        openAlone = opening.nsecsElapsed() / 1e6;
    }
    std::printf("open alone:                %.0f ms\n", openAlone);
    std::fflush(stdout);

    // Every client's output is read as it comes: a client whose pipe filled
    // up would stop in the middle of its work, and hear of saves late.
    std::vector<QProcess *> processes;
    std::vector<QByteArray> outputs;
    outputs.resize(std::size_t(clients));
    int running = clients;
    QEventLoop collecting;
    for (int i = 0; i < clients; ++i) {
        auto *process = new QProcess(&app);
        QObject::connect(process, &QProcess::readyReadStandardOutput, process,
                         [process, &outputs, i] { outputs[std::size_t(i)] += process->readAllStandardOutput(); });
        QObject::connect(process, &QProcess::finished, process, [process, &outputs, &running, &collecting, i] {
            outputs[std::size_t(i)] += process->readAllStandardOutput();
            if (--running == 0)
                collecting.quit();
        });
        process->start(app.applicationFilePath(),
                       {QStringLiteral("--client"), addressText, QString::number(rows),
                        QString::number(saves), QString::number(pause), QString::number(i)});
        processes.push_back(process);
    }
    // All opened, then all save at once.
    const auto allReady = [&] {
        for (std::size_t i = 0; i < processes.size(); ++i) {
            if (!outputs[i].contains("ready\n") && processes[i]->state() != QProcess::NotRunning)
                return false;
        }
        return true;
    };
    while (!allReady())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 1000);
    for (QProcess *process : processes)
        process->write("go\n");
    if (running > 0)
        collecting.exec();
    std::vector<double> saveTimes, heardTimes, openTimes;
    QHash<QString, int> savedBy;
    qint64 peak = 0;
    int failed = 0;
    for (const QByteArray &output : outputs) {
        for (const QByteArray &line : output.split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.at(0) == "saved") {
                saveTimes.push_back(fields.at(1).toDouble());
                ++savedBy[QString::fromUtf8(fields.at(2))];
            } else if (fields.at(0) == "heard") {
                heardTimes.push_back(fields.at(1).toDouble());
            } else if (fields.at(0) == "open") {
                openTimes.push_back(fields.at(1).toDouble());
            } else if (fields.at(0) == "peak") {
                peak = std::max(peak, fields.at(1).toLongLong());
            } else if (fields.at(0) == "failed" || fields.at(0) == "error") {
                ++failed;
                std::fprintf(stderr, "%s\n", line.constData());
            }
        }
    }
    int doubles = 0;
    for (int count : std::as_const(savedBy))
        doubles += count > 1;

    // Every confirmed save must be in the table, marked.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("check"));
    db.setConnectOptions(address.connectOptions());
    qsizetype lost = 0;
    if (db.open()) {
        QSqlQuery query(db);
        query.exec(QStringLiteral("SELECT image FROM norvanta_annotations WHERE annotator LIKE 'client%'"));
        QSet<QString> stored;
        while (query.next())
            stored.insert(query.value(0).toString());
        for (auto it = savedBy.cbegin(); it != savedBy.cend(); ++it)
            lost += !stored.contains(it.key());
    }
    std::printf("open, %d at once (median / slowest): %.0f / %.0f ms\n", clients,
                percentile(openTimes, 0.5),
                percentile(openTimes, 1.0));
    std::printf("save (median / p99):       %.2f / %.2f ms over %zu saves\n",
                percentile(saveTimes, 0.5), percentile(saveTimes, 0.99), saveTimes.size());
    std::printf("failed saves:              %d\n", failed);
    std::printf("rows lost:                 %lld\n", qint64(lost));
    std::printf("saved by two clients:      %d\n", doubles);
    std::printf("heard (median / p99):      %.0f / %.0f ms over %zu notifications\n",
                percentile(heardTimes, 0.5), percentile(heardTimes, 0.99), heardTimes.size());
    std::printf("peak memory per client:    %lld MB\n", peak / 1024);
    return 0;
}
