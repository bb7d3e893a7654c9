#include "predictcommand.h"

#include "classifier.h"
#include "commandline.h"
#include "imagesession.h"
#include "labelcatalogue.h"
#include "picturefiles.h"
#include "predictionlisting.h"
#include "predictionstore.h"
#include "teamaddress.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <opencv2/core.hpp>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using CommandLine::refuse;
using CommandLine::text;

volatile std::sig_atomic_t stopAsked = 0;

void askToStop(int)
{
    stopAsked = 1;
}

constexpr qsizetype claimedAtOnce = 32;
constexpr qsizetype writtenAtOnce = 64;

// The images claimed and waiting, and what the threads made of them; the
// main thread alone talks to the store.
struct Queue
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<qsizetype> waiting;
    qsizetype running = 0;
    bool closed = false;
    QList<PredictionStore::Entry> made;
    qsizetype undecodable = 0;
    qsizetype gone = 0;
    QString refusal;
};

void predictInThread(Classifier classifier, const PredictionListing &listing, Queue &queue)
{
    for (;;) {
        qsizetype position = -1;
        {
            std::unique_lock lock(queue.mutex);
            queue.changed.wait(lock, [&] { return queue.closed || !queue.waiting.empty(); });
            if (queue.waiting.empty())
                return;
            position = queue.waiting.front();
            queue.waiting.pop_front();
            ++queue.running;
        }
        const QString path = listing.path(position);
        const FileStamp stamp = FileStamp::of(path);
        QString refusal;
        const QList<Classifier::Outcome> outcomes =
            stamp.size < 0 ? QList<Classifier::Outcome>{} : classifier.predict({path}, &refusal);
        const std::lock_guard lock(queue.mutex);
        --queue.running;
        if (stamp.size < 0)
            ++queue.gone;
        else if (outcomes.isEmpty() && queue.refusal.isEmpty())
            queue.refusal = refusal;
        else if (!outcomes.isEmpty() && !outcomes.constFirst().decoded)
            ++queue.undecodable;
        else if (!outcomes.isEmpty())
            queue.made.append({listing.names().at(position), stamp.size, stamp.modified,
                               outcomes.constFirst().values, outcomes.constFirst().features});
        queue.changed.notify_all();
    }
}

// The listed positions without a current prediction in the store.
std::vector<qsizetype> unpredicted(PredictionStore &store, const PredictionListing &listing,
                                   QString *error)
{
    std::vector<bool> current(std::size_t(listing.count()), false);
    const qsizetype labels = labelCatalogue().size();
    const bool read = store.readEach([&](const PredictionStore::Entry &entry) {
        const qsizetype position = listing.find(entry.fileName);
        if (position < 0 || entry.values.size() != labels)
            return;
        const FileStamp stamp = FileStamp::of(listing.path(position));
        current[std::size_t(position)] = stamp.size == entry.size && stamp.modified == entry.modified;
    }, false, error);
    std::vector<qsizetype> positions;
    for (qsizetype position = 0; read && position < listing.count(); ++position) {
        if (!current[std::size_t(position)])
            positions.push_back(position);
    }
    return positions;
}

QString duration(double seconds)
{
    const qint64 whole = qint64(seconds + 0.5);
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

// A bar redrawn in place on a terminal; elsewhere a line at each tenth.
class Progress
{
public:
    explicit Progress(qsizetype total) : total(total), terminal(::isatty(STDOUT_FILENO) == 1)
    {
        clock.start();
    }

    void show(qsizetype done, bool last = false)
    {
        const double seconds = std::max(0.001, double(clock.elapsed()) / 1000);
        const double rate = double(done) / seconds;
        const QString left = rate > 0 ? duration(double(total - done) / rate) : QStringLiteral("?");
        const int percent = total > 0 ? int(done * 100 / total) : 100;
        if (terminal) {
            if (!last && redrawn.isValid() && redrawn.elapsed() < 200)
                return;
            redrawn.start();
            const int filled = percent * 30 / 100;
            std::printf("\r[%s%s] %s", QByteArray(filled, '#').constData(),
                        QByteArray(30 - filled, '-').constData(),
                        qUtf8Printable(text("%1 / %2 张  %3 张/秒  剩余 %4  ")
                                           .arg(done).arg(total).arg(rate, 0, 'f', 1).arg(left)));
            if (last)
                std::printf("\n");
        } else if (percent / 10 > shownTenths || (last && done != shownDone)) {
            // Each tenth once, and the end unless its line was just printed.
            shownTenths = percent / 10;
            shownDone = done;
            std::printf("%s\n", qUtf8Printable(text("已预测 %1 / %2 张（%3%），%4 张/秒，剩余 %5")
                                                   .arg(done).arg(total).arg(percent)
                                                   .arg(rate, 0, 'f', 1).arg(left)));
        }
        std::fflush(stdout);
    }

private:
    qsizetype total;
    bool terminal;
    int shownTenths = 0;
    qsizetype shownDone = -1;
    QElapsedTimer clock;
    QElapsedTimer redrawn;
};

std::unique_ptr<PredictionStore> storeOf(const QString &named, int *status)
{
    if (TeamAddress::isAddress(named)) {
        QString error;
        const std::optional<TeamAddress> address = TeamAddress::parse(named, &error);
        if (!address) {
            *status = refuse(error);
            return nullptr;
        }
        return PredictionStore::onServer(*address);
    }
    if (named.isEmpty() || QFileInfo(named).isDir()) {
        *status = refuse(text("不是标签文件：%1").arg(named));
        return nullptr;
    }
    return PredictionStore::besideFile(named);
}

struct Run
{
    PredictionStore &store;
    const PredictionListing &listing;
    std::vector<qsizetype> todo;
    Queue queue;
    qsizetype stored = 0;
    QString writeError;
};

// Claims the next images while fewer than two batches wait; false when none
// is left to claim.
bool claimMore(Run &run, std::size_t *next, qsizetype threads)
{
    {
        const std::lock_guard lock(run.queue.mutex);
        if (qsizetype(run.queue.waiting.size()) >= 2 * std::max(threads, claimedAtOnce))
            return true;
    }
    if (*next >= run.todo.size())
        return false;
    QStringList names;
    QList<qsizetype> positions;
    for (; *next < run.todo.size() && names.size() < claimedAtOnce; ++*next) {
        positions.append(run.todo[*next]);
        names.append(run.listing.names().at(run.todo[*next]));
    }
    QString error;
    const QStringList taken = run.store.claim(names, &error);
    const std::lock_guard lock(run.queue.mutex);
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (taken.contains(names.at(i)))
            run.queue.waiting.push_back(positions.at(i));
    }
    run.queue.changed.notify_all();
    return true;
}

bool writeMade(Run &run, bool all)
{
    QList<PredictionStore::Entry> made;
    {
        const std::lock_guard lock(run.queue.mutex);
        if (run.queue.made.size() < writtenAtOnce && !all)
            return true;
        made.swap(run.queue.made);
    }
    if (made.isEmpty())
        return true;
    if (!run.store.write(made, &run.writeError))
        return false;
    run.stored += made.size();
    return true;
}

// The main thread's loop: claims, writes and shows progress until every
// image is done, the model is refused, a write fails or a stop is asked.
void drive(Run &run, qsizetype threads, Progress &progress)
{
    std::size_t next = 0;
    bool stopping = false;
    for (;;) {
        const bool more = !stopping && claimMore(run, &next, threads);
        if (!writeMade(run, false))
            return;
        std::unique_lock lock(run.queue.mutex);
        stopping = stopAsked || !run.queue.refusal.isEmpty();
        if (stopping)
            run.queue.waiting.clear();
        const qsizetype done =
            run.stored + run.queue.made.size() + run.queue.undecodable + run.queue.gone;
        if (!more && run.queue.waiting.empty() && run.queue.running == 0)
            return;
        run.queue.changed.wait_for(lock, std::chrono::milliseconds(200));
        lock.unlock();
        progress.show(done);
    }
}

int predictAll(PredictionStore &store, const PredictionListing &listing, const Classifier &classifier,
               std::vector<qsizetype> todo)
{
    Run run{store, listing, std::move(todo), {}, 0, {}};
    const qsizetype threads = std::max(1, QThread::idealThreadCount());
    // One picture per core at a time, each on a network of its own.
    cv::setNumThreads(1);
    std::vector<std::thread> workers;
    for (qsizetype i = 0; i < threads; ++i)
        workers.emplace_back(predictInThread, classifier.copy(), std::cref(listing), std::ref(run.queue));
    std::signal(SIGINT, askToStop);
    std::signal(SIGTERM, askToStop);
    Progress progress(qsizetype(run.todo.size()));
    drive(run, threads, progress);
    {
        const std::lock_guard lock(run.queue.mutex);
        run.queue.waiting.clear();
        run.queue.closed = true;
    }
    run.queue.changed.notify_all();
    for (std::thread &worker : workers)
        worker.join();
    const bool written = run.writeError.isEmpty() && writeMade(run, true);
    const qsizetype done = run.stored + run.queue.undecodable + run.queue.gone;
    progress.show(done, true);
    if (!run.queue.refusal.isEmpty())
        return refuse(run.queue.refusal);
    if (!written) {
        refuse(text("无法存入预测：%1").arg(run.writeError));
        return 1;
    }
    std::printf("%s\n", qUtf8Printable(text("已存入 %1 张图片的预测，%2 张无法解码。")
                                           .arg(run.stored).arg(run.queue.undecodable)));
    return stopAsked ? 130 : 0;
}

} // namespace

bool asksToPredict(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        if (std::strcmp(argv[i], "--predict") == 0 || std::strncmp(argv[i], "--predict=", 10) == 0)
            return true;
    }
    return false;
}

int predictImages(const QString &onnxPath, const QStringList &arguments)
{
    if (arguments.size() != 2)
        return refuse(text("用法：norvanta --predict NAME.onnx STORE IMAGE_FOLDER"));
    const QString folder = QDir(arguments.at(1)).absolutePath();
    if (arguments.at(1).isEmpty() || !QFileInfo(folder).isDir())
        return refuse(text("不是图片目录：%1").arg(arguments.at(1)));
    QString error;
    const std::optional<Classifier> classifier = Classifier::load(onnxPath, labelCatalogue(), &error);
    if (!classifier)
        return refuse(error);
    int status = 0;
    const std::unique_ptr<PredictionStore> store = storeOf(arguments.at(0), &status);
    if (!store)
        return status;
    if (!store->open(classifier->description().name, classifier->sha256(), &error))
        return refuse(error);
    const PredictionListing listing(folder, ImageSession::listImages(folder));
    std::vector<qsizetype> todo = unpredicted(*store, listing, &error);
    if (!error.isEmpty())
        return refuse(error);
    return predictAll(*store, listing, *classifier, std::move(todo));
}
