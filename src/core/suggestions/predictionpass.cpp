#include "predictionpass.h"

#include "picturefiles.h"

#include <QDebug>
#include <QElapsedTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <chrono>
#include <deque>
#include <mutex>

namespace {

// What the pass knows of each listed image in the current generation.
enum Status : quint8 {
    Needed,      // no current prediction
    Current,     // predicted, for the file as it is (its stamp kept)
    Undecodable, // tried in this generation: gives none
    Elsewhere,   // another program predicts it, or the file is gone
};

constexpr qsizetype claimedAtOnce = 8;
constexpr qsizetype writtenAtOnce = 32;
constexpr qsizetype storedChunk = 4096;
constexpr qint64 writtenWithin = 2000; // milliseconds
// How long the pass rests, its own work done, before it looks again at the
// images another program was predicting.
constexpr auto revisitedAfter = std::chrono::seconds(10);
// How often the store is asked whether another program stored new trained
// weights for the model, and how long a turn to train lasts at most (one
// left by a program that stopped blocks the others that long).
constexpr auto weightsLookedAfter = std::chrono::seconds(30);
constexpr int trainingTurnSeconds = 900;

} // namespace

struct PredictionPass::Shared
{
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::atomic<quint64> generation{0};
    std::optional<Classifier> classifier;
    std::shared_ptr<const PredictionListing> listing;
    qsizetype shown = -1;
    quint64 shownTicket = 0;
    // Trained weights waiting to be stored, for the generation named.
    std::optional<std::pair<quint64, QByteArray>> weights;
    // A turn to train asked for the generation named.
    std::optional<quint64> turnWanted;

    std::unique_ptr<PredictionStore> store;
    Deliver deliver;
};

namespace {

using Shared = PredictionPass::Shared;

// The worker's own state: only its thread touches it.
struct Work
{
    quint64 generation = 0;
    quint64 shownTicket = 0;
    std::optional<Classifier> classifier;
    std::shared_ptr<const PredictionListing> listing;
    QString openedName;
    QByteArray openedDigest;
    bool opened = false;

    std::vector<quint8> status;
    std::vector<FileStamp> stamps;
    qsizetype cursor = 0;
    // The stored predictions not yet checked against their files start here.
    qsizetype checked = 0;
    std::deque<qsizetype> urgent;
    std::deque<qsizetype> claimed;
    // Images passed over because another program had claimed them.
    qsizetype elsewhere = 0;
    QList<PredictionStore::Entry> pending;
    QElapsedTimer sinceWrite;
    // The trained weights last read or written, and when they were looked at.
    QByteArray knownWeights;
    QElapsedTimer sinceWeightsLook;

    bool hasWork() const
    {
        return classifier && listing
            && (!urgent.empty() || !claimed.empty() || checked < listing->count()
                || cursor < listing->count());
    }
};

PassArrival arrival(const Work &work, PassArrival::Kind kind)
{
    PassArrival made;
    made.generation = work.generation;
    made.kind = kind;
    return made;
}

void flush(Shared &shared, Work &work)
{
    work.sinceWrite.restart();
    if (work.pending.isEmpty())
        return;
    QString error;
    if (!shared.store->write(work.pending, &error))
        qWarning().noquote() << "predictions not stored:" << error;
    work.pending.clear();
}

void refuse(Shared &shared, Work &work, const QString &refusal)
{
    PassArrival refused = arrival(work, PassArrival::Refused);
    refused.refusal = refusal;
    shared.deliver(std::move(refused));
    work.classifier.reset();
}

bool openStore(Shared &shared, Work &work)
{
    const ModelDescription &description = work.classifier->description();
    if (work.opened && work.openedName == description.name
        && work.openedDigest == work.classifier->sha256())
        return true;
    QString error;
    work.opened = shared.store->open(description.name, work.classifier->sha256(), &error);
    if (!work.opened) {
        refuse(shared, work, error);
        return false;
    }
    work.openedName = description.name;
    work.openedDigest = work.classifier->sha256();
    return true;
}

// Hands over the stored predictions of listed images, in chunks, as they
// are stored: each is checked against its file afterwards (checkStored()),
// so that a million are answered for before a million files are looked at.
// Stops early when a new generation began.
void readStored(Shared &shared, Work &work)
{
    const PredictionListing &listing = *work.listing;
    PassArrival chunk = arrival(work, PassArrival::Stored);
    const ModelDescription &description = work.classifier->description();
    const qsizetype labels = description.thresholds.size();
    std::vector<std::pair<float, qint32>> order;
    QString error;
    const bool read = shared.store->readEach([&](const PredictionStore::Entry &entry) {
        if (shared.generation != work.generation)
            return;
        const qsizetype position = listing.find(entry.fileName);
        if (position < 0 || entry.values.size() != labels)
            return;
        work.status[std::size_t(position)] = Current;
        work.stamps[std::size_t(position)] = {entry.size, entry.modified};
        order.emplace_back(description.certainty(entry.values.constData()), qint32(position));
        chunk.positions.push_back(qint32(position));
        chunk.values.insert(chunk.values.end(), entry.values.cbegin(), entry.values.cend());
        chunk.features.push_back(entry.features);
        if (qsizetype(chunk.positions.size()) >= storedChunk)
            shared.deliver(std::exchange(chunk, arrival(work, PassArrival::Stored)));
    }, true, &error);
    if (!read) {
        refuse(shared, work, error);
        return;
    }
    if (!chunk.positions.empty())
        shared.deliver(std::move(chunk));
    PassArrival done = arrival(work, PassArrival::StoredDone);
    done.weights = shared.store->readWeights(&error);
    work.knownWeights = done.weights;
    work.sinceWeightsLook.start();
    std::sort(order.begin(), order.end());
    done.order = std::move(order);
    shared.deliver(std::move(done));
}

void begin(Shared &shared, Work &work)
{
    const qsizetype count = work.listing ? work.listing->count() : 0;
    work.status.assign(std::size_t(count), Needed);
    work.stamps.assign(std::size_t(count), FileStamp());
    work.cursor = 0;
    work.checked = 0;
    work.claimed.clear();
    work.elsewhere = 0;
    if (!work.classifier || !work.listing || !openStore(shared, work))
        return;
    readStored(shared, work);
}

bool needsPrediction(const Work &work, qsizetype position)
{
    if (position < 0 || position >= work.listing->count())
        return false;
    const quint8 status = work.status[std::size_t(position)];
    if (status == Needed)
        return true;
    if (status == Elsewhere)
        return false;
    // A current or undecodable picture is tried again once its file changed.
    return !(FileStamp::of(work.listing->path(position)) == work.stamps[std::size_t(position)]);
}

bool claimed(Shared &shared, const Work &work, qsizetype position)
{
    QString error;
    const QString name = work.listing->names().at(position);
    return shared.store->claim({name}, &error).contains(name);
}

// The next position to predict, claimed for this program; -1 when none is
// left in this generation.
qsizetype nextPosition(Shared &shared, Work &work)
{
    while (!work.urgent.empty()) {
        const qsizetype position = work.urgent.front();
        work.urgent.pop_front();
        if (needsPrediction(work, position) && claimed(shared, work, position))
            return position;
    }
    while (work.claimed.empty() && work.cursor < work.listing->count()) {
        QStringList names;
        QList<qsizetype> positions;
        for (; work.cursor < work.listing->count() && names.size() < claimedAtOnce; ++work.cursor) {
            if (work.status[std::size_t(work.cursor)] == Needed) {
                names.append(work.listing->names().at(work.cursor));
                positions.append(work.cursor);
            }
        }
        QString error;
        const QStringList taken = names.isEmpty() ? names : shared.store->claim(names, &error);
        for (qsizetype i = 0; i < names.size(); ++i) {
            if (taken.contains(names.at(i)))
                work.claimed.push_back(positions.at(i));
            else {
                work.status[std::size_t(positions.at(i))] = Elsewhere;
                ++work.elsewhere;
            }
        }
    }
    if (work.claimed.empty())
        return -1;
    const qsizetype position = work.claimed.front();
    work.claimed.pop_front();
    return position;
}

void predict(Shared &shared, Work &work, qsizetype position)
{
    const QString path = work.listing->path(position);
    const FileStamp stamp = FileStamp::of(path);
    const quint8 before = work.status[std::size_t(position)];
    if (stamp.size < 0) {
        work.status[std::size_t(position)] = Elsewhere;
        return;
    }
    QString refusal;
    const QList<Classifier::Outcome> outcomes = work.classifier->predict({path}, &refusal);
    if (outcomes.isEmpty()) {
        refuse(shared, work, refusal);
        return;
    }
    const Classifier::Outcome &outcome = outcomes.constFirst();
    PassArrival made = arrival(work, PassArrival::Predicted);
    work.stamps[std::size_t(position)] = stamp;
    if (!outcome.decoded) {
        work.status[std::size_t(position)] = Undecodable;
        made.undecodable = before == Undecodable ? 0 : 1;
        if (before == Current)
            made.forgotten.push_back(qint32(position));
    } else {
        work.status[std::size_t(position)] = Current;
        made.positions.push_back(qint32(position));
        made.values.assign(outcome.values.cbegin(), outcome.values.cend());
        made.features.push_back(outcome.features);
        work.pending.append({work.listing->names().at(position), stamp.size, stamp.modified,
                             outcome.values, outcome.features});
    }
    shared.deliver(std::move(made));
}

// The next stored predictions checked against their files: those of a
// file changed since are forgotten and predicted again.
void checkStored(Shared &shared, Work &work)
{
    PassArrival stale = arrival(work, PassArrival::Predicted);
    const qsizetype end = std::min(work.listing->count(), work.checked + storedChunk);
    for (; work.checked < end; ++work.checked) {
        const std::size_t position = std::size_t(work.checked);
        if (work.status[position] == Current
            && !(FileStamp::of(work.listing->path(work.checked)) == work.stamps[position])) {
            work.status[position] = Needed;
            stale.forgotten.push_back(qint32(work.checked));
        }
    }
    if (!stale.forgotten.empty())
        shared.deliver(std::move(stale));
}

void step(Shared &shared, Work &work)
{
    // Woken by a shown position while no model is there: nothing to predict.
    if (!work.classifier)
        return;
    if (work.urgent.empty() && work.checked < work.listing->count()) {
        checkStored(shared, work);
        return;
    }
    const qsizetype position = nextPosition(shared, work);
    if (position >= 0)
        predict(shared, work, position);
    if (work.pending.size() >= writtenAtOnce || work.sinceWrite.elapsed() >= writtenWithin
        || !work.hasWork())
        flush(shared, work);
}

// The images another program claimed: what it stored meanwhile is taken in
// (a team shares its predictions), and those it left, or whose claim lapsed,
// are claimed again by the pass.
void revisit(Shared &shared, Work &work)
{
    flush(shared, work);
    work.elsewhere = 0;
    readStored(shared, work);
    for (quint8 &status : work.status) {
        if (status == Elsewhere)
            status = Needed;
    }
    work.cursor = 0;
}

// Takes what changed since the last look, under the shared lock: a new
// generation, the shown position.
void look(const Shared &shared, Work &work)
{
    if (shared.generation != work.generation) {
        work.generation = shared.generation;
        work.classifier = shared.classifier;
        work.listing = shared.listing;
        work.urgent.clear();
        work.shownTicket = 0;
    }
    if (shared.shownTicket != work.shownTicket && shared.shown >= 0) {
        work.shownTicket = shared.shownTicket;
        work.urgent = {shared.shown, shared.shown + 1, shared.shown - 1};
    }
}

// Weights another program stored since they were last read are handed over.
void lookAtWeights(Shared &shared, Work &work)
{
    work.sinceWeightsLook.start();
    QString error;
    const QByteArray weights = shared.store->readWeights(&error);
    if (!error.isEmpty() || weights.isEmpty() || weights == work.knownWeights)
        return;
    work.knownWeights = weights;
    PassArrival changed = arrival(work, PassArrival::Weights);
    changed.weights = weights;
    shared.deliver(std::move(changed));
}

void storeWeights(Shared &shared, Work &work, const QByteArray &weights)
{
    QString error;
    if (!shared.store->writeWeights(weights, &error)) {
        qWarning().noquote() << "trained weights not stored:" << error;
        return;
    }
    work.knownWeights = weights;
    shared.store->giveTrainingTurn();
}

void answerTurn(Shared &shared, Work &work)
{
    QString error;
    PassArrival answer = arrival(work, PassArrival::Turn);
    answer.turnGranted = work.opened && shared.store->takeTrainingTurn(trainingTurnSeconds, &error);
    if (!error.isEmpty())
        qWarning().noquote() << "no turn to train:" << error;
    const bool granted = answer.turnGranted;
    shared.deliver(std::move(answer));
    // Another program trains, or trained: what it stored is taken at once.
    if (!granted && work.opened)
        lookAtWeights(shared, work);
}

void run(Shared &shared)
{
    // Below the window and every other program: it only uses what is left.
    setpriority(PRIO_PROCESS, id_t(gettid()), 10);
    Work work;
    work.sinceWrite.start();
    for (;;) {
        bool restarted = false;
        bool rested = false;
        std::optional<std::pair<quint64, QByteArray>> weights;
        std::optional<quint64> turn;
        {
            std::unique_lock lock(shared.mutex);
            const auto woken = [&] {
                return shared.stop || shared.generation != work.generation
                    || shared.shownTicket != work.shownTicket || shared.weights
                    || shared.turnWanted || work.hasWork();
            };
            if (work.elsewhere > 0 && work.classifier)
                rested = !shared.wake.wait_for(lock, revisitedAfter, woken);
            else
                shared.wake.wait_for(lock, weightsLookedAfter, woken);
            if (shared.stop)
                break;
            restarted = shared.generation != work.generation;
            look(shared, work);
            weights = std::exchange(shared.weights, std::nullopt);
            turn = std::exchange(shared.turnWanted, std::nullopt);
        }
        if (weights && weights->first == work.generation && work.opened)
            storeWeights(shared, work, weights->second);
        if (turn && *turn == work.generation && !restarted)
            answerTurn(shared, work);
        if (work.opened && !restarted && work.sinceWeightsLook.isValid()
            && work.sinceWeightsLook.elapsed() >= qint64(weightsLookedAfter.count()) * 1000)
            lookAtWeights(shared, work);
        // A turn held for the model left behind is given back.
        if (restarted && work.opened)
            shared.store->giveTrainingTurn();
        if (rested && !restarted) {
            revisit(shared, work);
        } else if (restarted) {
            flush(shared, work);
            begin(shared, work);
        } else {
            step(shared, work);
        }
    }
    flush(shared, work);
}

} // namespace

PredictionPass::PredictionPass(std::unique_ptr<PredictionStore> store, Deliver deliver)
    : shared(std::make_shared<Shared>())
{
    shared->store = std::move(store);
    shared->deliver = std::move(deliver);
    thread = std::thread([shared = shared] { run(*shared); });
}

PredictionPass::~PredictionPass()
{
    {
        const std::lock_guard lock(shared->mutex);
        shared->stop = true;
    }
    shared->wake.notify_all();
    thread.join();
}

void PredictionPass::restart(quint64 generation, std::optional<Classifier> classifier,
                             std::shared_ptr<const PredictionListing> listing)
{
    {
        const std::lock_guard lock(shared->mutex);
        shared->generation = generation;
        shared->classifier = std::move(classifier);
        shared->listing = std::move(listing);
    }
    shared->wake.notify_all();
}

void PredictionPass::storeWeights(quint64 generation, const QByteArray &weights)
{
    {
        const std::lock_guard lock(shared->mutex);
        shared->weights = std::make_pair(generation, weights);
    }
    shared->wake.notify_all();
}

void PredictionPass::askTrainingTurn(quint64 generation)
{
    {
        const std::lock_guard lock(shared->mutex);
        shared->turnWanted = generation;
    }
    shared->wake.notify_all();
}

void PredictionPass::show(qsizetype position)
{
    {
        const std::lock_guard lock(shared->mutex);
        shared->shown = position;
        ++shared->shownTicket;
    }
    shared->wake.notify_all();
}
