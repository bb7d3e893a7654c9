#include "teamstore.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QUuid>

#include <thread>

// Candidates offered to the server for one step to the next unmarked image:
// each costs one statement only when another window took it first.
static constexpr qsizetype candidatesPerCall = 64;
// Reading a big dataset on a busy server may take long; a server that does
// not answer at all is found by the connection's own timeout first.
static constexpr int openMilliseconds = 600000;
// The server refuses a save this long before the window stops waiting for
// it: room for the commit after the last check, and for the clocks' error.
static constexpr int deadlineMarginMilliseconds = 1000;
// The longest a closing window waits for the server.
static constexpr int closeMilliseconds = 1000;

TeamStore::TeamStore(const TeamAddress &address, const QStringList &catalogue,
                     const QString &annotator, QObject *parent)
    : AnnotationStore(parent)
    , teamAddress(address)
    , labels(catalogue)
    , annotatorName(annotator)
    , clientId(QUuid::createUuid().toString(QUuid::WithoutBraces))
    , thread(std::make_unique<QThread>())
    , worker(new TeamWorker(address, catalogue, annotator, clientId))
    , known(std::make_shared<TeamSnapshot>())
{
    thread->setObjectName(QStringLiteral("norvanta-team"));
    worker->moveToThread(thread.get());
    // Any save that is news here was not answered to this window: another
    // window's, or one of its own that it gave up on or lost the answer of.
    connect(worker, &TeamWorker::rowChanged, this, [this](const TeamRow &row) {
        if (!enter(row))
            return;
        emit rowSaved(row.image);
        emit savedElsewhere(row.image);
    });
    connect(worker, &TeamWorker::reloaded, this, [this](std::shared_ptr<TeamSnapshot> snapshot) {
        adopt(std::move(snapshot));
        emit reloaded();
    });
    thread->start();
}

// A server that does not answer never holds the window's closing longer
// than `closeMilliseconds`: the statement under way is cancelled, and the
// worker left to end by itself once the server answers or its connections
// fail, and its thread deleted then. The holds it could not give up lapse
// as a killed program's do. What is queued for the worker names the worker,
// never this store.
TeamStore::~TeamStore()
{
    TeamWorker *leaving = worker;
    const std::function<void()> cancel = leaving->cancelling();
    QMetaObject::invokeMethod(leaving, [leaving] {
        leaving->finish();
        delete leaving;
        QThread::currentThread()->quit();
    });
    if (thread->wait(QDeadlineTimer(closeMilliseconds)))
        return;
    cancel();
    QThread *left = thread.release();
    QObject::connect(left, &QThread::finished, left, &QObject::deleteLater);
    if (left->isFinished())
        delete left;
}

bool TeamStore::await(const std::shared_ptr<TeamReply> &reply, int milliseconds,
                      const std::function<bool()> &waiting) const
{
    QElapsedTimer waited;
    waited.start();
    while (!reply->wait(waiting ? 20 : 200)) {
        if (waited.elapsed() >= milliseconds || (waiting && !waiting()))
            return false;
    }
    return true;
}

bool TeamStore::open(QString *error)
{
    auto reply = std::make_shared<TeamReply>();
    QMetaObject::invokeMethod(worker, [w = worker, reply] { w->open(reply); });
    if (!await(reply, openMilliseconds, {})) {
        *error = tr("服务器无应答");
        return false;
    }
    if (reply->outcome().kind != TeamOutcome::Done) {
        *error = reply->outcome().error;
        return false;
    }
    adopt(reply->snapshot());
    return true;
}

TeamStore::RowFacts TeamStore::factsOf(const TeamSnapshot::Entry &entry)
{
    RowFacts facts;
    facts.hasRow = entry.version > 0;
    facts.flags = entry.flags;
    facts.marked = entry.flags != 0;
    return facts;
}

TeamStore::RowFacts TeamStore::facts(const QString &fileName) const
{
    const auto found = known->rows.constFind(fileName);
    return found == known->rows.constEnd() ? RowFacts() : factsOf(*found);
}

QStringList TeamStore::storedLabels(const QString &fileName) const
{
    const quint32 flags = facts(fileName).flags;
    QStringList stored;
    for (qsizetype i = 0; i < labels.size(); ++i) {
        if (flags & (1u << i))
            stored.append(labels.at(i));
    }
    return stored;
}

QByteArray TeamStore::row(const QString &fileName) const
{
    if (!facts(fileName).hasRow)
        return QByteArray();
    return AnnotationFormat::buildRow(fileName, labels, storedLabels(fileName)).toUtf8();
}

SaveResult TeamStore::putBackRow(const QString &fileName,
                                                 const QByteArray &expected,
                                                 const QByteArray &replacement,
                                                 const std::function<bool()> &waiting)
{
    if (row(fileName) != expected)
        return SaveResult::RowChanged;
    const QList<QByteArray> fields = replacement.split(',');
    QStringList annotations;
    for (qsizetype i = 0; i < labels.size() && i + 1 < fields.size(); ++i) {
        if (fields.at(i + 1) == "1")
            annotations.append(labels.at(i));
    }
    return saveRow(fileName, annotations, waiting);
}

QString TeamStore::savedBy(const QString &fileName) const
{
    const auto found = known->rows.constFind(fileName);
    return found == known->rows.constEnd() ? QString() : known->annotatorOf(*found);
}

qint64 TeamStore::savedAt(const QString &fileName) const
{
    const auto found = known->rows.constFind(fileName);
    return found == known->rows.constEnd() ? 0 : found->savedAtMs;
}

// The exported file sorts its rows by their text: a name is compared as
// followed by ",", the way its row is, since no name holds a ",".
static bool rowsAfter(QStringView name, QStringView other)
{
    const qsizetype common = std::min(name.size(), other.size());
    const int order = name.first(common).compare(other.first(common));
    if (order != 0)
        return order > 0;
    const QChar nameNext = common < name.size() ? name.at(common) : QChar(u',');
    const QChar otherNext = common < other.size() ? other.at(common) : QChar(u',');
    return nameNext > otherNext;
}

std::optional<QString> TeamStore::lastMarkedName() const
{
    if (lastMarked.isNull())
        return std::nullopt;
    return lastMarked;
}

void TeamStore::findLastMarked()
{
    lastMarked = QString();
    for (auto it = known->rows.cbegin(); it != known->rows.cend(); ++it) {
        if (it->flags != 0 && (lastMarked.isNull() || rowsAfter(it.key(), lastMarked)))
            lastMarked = it.key();
    }
}

void TeamStore::adopt(std::shared_ptr<TeamSnapshot> snapshot)
{
    if (!snapshot)
        return;
    // A save heard of while the dataset was being read may be newer than
    // what the read found.
    for (auto it = known->rows.cbegin(); it != known->rows.cend(); ++it) {
        const auto read = snapshot->rows.constFind(it.key());
        if (read != snapshot->rows.cend() && read->version >= it->version)
            continue;
        TeamRow row;
        row.image = it.key();
        row.flags = it->flags;
        row.version = it->version;
        row.annotator = known->annotatorOf(*it);
        row.savedAtMs = it->savedAtMs;
        row.client = known->clientOf(*it);
        snapshot->enter(row);
    }
    known = std::move(snapshot);
    findLastMarked();
    recount();
}

bool TeamStore::enter(const TeamRow &row)
{
    const RowFacts before = facts(row.image);
    if (!known->enter(row))
        return false;
    const RowFacts after = facts(row.image);
    if (after.marked && (lastMarked.isNull() || rowsAfter(row.image, lastMarked)))
        lastMarked = row.image;
    else if (!after.marked && row.image == lastMarked)
        findLastMarked();
    // A folder lists each name once.
    const qsizetype position = listedPosition(row.image);
    if (position >= 0) {
        listed.facts[std::size_t(position)] = after;
        listed.markedCount += int(after.marked) - int(before.marked);
        for (qsizetype label = 0; label < labels.size(); ++label) {
            listed.labelCounts[label] += int(bool(after.flags & (1u << label)))
                - int(bool(before.flags & (1u << label)));
        }
    }
    return true;
}

void TeamStore::setListedNames(const QStringList &names)
{
    listed.names = names;
    recount([this, &names] {
        listed.positions.clear();
        listed.positions.reserve(names.size());
        for (qsizetype i = names.size() - 1; i >= 0; --i)
            listed.positions.insert(names.at(i), i);
    });
}

namespace {

// The counts of part of the listed images.
struct Tally
{
    qsizetype marked = 0;
    QList<qsizetype> labels;
};

} // namespace

// At a million listed images, looking each up among the known rows is most
// of an opening's time: another thread takes the second half of the list
// while this one does `alongside` and the first half. The halves write
// their own entries of the facts and tally apart.
void TeamStore::recount(const std::function<void()> &alongside)
{
    constexpr qsizetype shared = 50000;
    const qsizetype count = listed.names.size();
    listed.facts.assign(std::size_t(count), RowFacts());
    const auto tally = [this](qsizetype from, qsizetype to, Tally *out) {
        out->labels = QList<qsizetype>(labels.size(), 0);
        for (qsizetype i = from; i < to; ++i) {
            const RowFacts facts = this->facts(listed.names.at(i));
            listed.facts[std::size_t(i)] = facts;
            out->marked += facts.marked;
            for (qsizetype label = 0; label < labels.size(); ++label)
                out->labels[label] += bool(facts.flags & (1u << label));
        }
    };
    const qsizetype half = count < shared ? count : count / 2;
    Tally first, second;
    std::thread other;
    if (half < count)
        other = std::thread(tally, half, count, &second);
    if (alongside)
        alongside();
    tally(0, half, &first);
    if (other.joinable())
        other.join();
    listed.markedCount = first.marked + second.marked;
    listed.labelCounts = first.labels;
    for (qsizetype label = 0; label < second.labels.size(); ++label)
        listed.labelCounts[label] += second.labels.at(label);
}

AnnotationFormat::MarkCounts TeamStore::markCounts() const
{
    AnnotationFormat::MarkCounts counts;
    counts.marked = int(listed.markedCount);
    counts.unmarked = int(listed.names.size() - listed.markedCount);
    return counts;
}

QList<qsizetype> TeamStore::labelCounts() const
{
    return listed.labelCounts;
}

qsizetype TeamStore::listedPosition(const QString &fileName) const
{
    return listed.positions.value(fileName, -1);
}

TeamStore::RowFacts TeamStore::listedFacts(qsizetype position) const
{
    if (position < 0 || position >= qsizetype(listed.facts.size()))
        return RowFacts();
    return listed.facts[std::size_t(position)];
}

qsizetype TeamStore::nextUnmarked(qsizetype position) const
{
    for (qsizetype i = std::max<qsizetype>(position + 1, 0); i < qsizetype(listed.facts.size()); ++i) {
        if (!listed.facts[std::size_t(i)].marked)
            return i;
    }
    return -1;
}

bool TeamStore::isStoredRow(const QString &fileName, const QStringList &labels) const
{
    const quint32 flags = flagsOf(labels);
    return fileName == shownImage && (flags == shownFlags || flags == facts(fileName).flags);
}

quint32 TeamStore::flagsOf(const QStringList &annotations) const
{
    quint32 flags = 0;
    for (qsizetype i = 0; i < labels.size(); ++i) {
        if (annotations.contains(labels.at(i)))
            flags |= 1u << i;
    }
    return flags;
}

void TeamStore::showing(const QString &fileName)
{
    const auto found = known->rows.constFind(fileName);
    shownVersion = found == known->rows.constEnd() ? 0 : found->version;
    shownFlags = found == known->rows.constEnd() ? 0 : found->flags;
    if (fileName == shownImage)
        return;
    shownImage = fileName;
    // A step by Ctrl+U took the hold already.
    if (fileName == heldImage)
        return;
    heldImage = fileName;
    QMetaObject::invokeMethod(worker, [w = worker, fileName] { w->hold(fileName); });
}

SaveResult TeamStore::saveRow(const QString &fileName,
                                             const QStringList &annotations,
                                             const std::function<bool()> &waiting)
{
    refusal.clear();
    if (!AnnotationFormat::canHoldName(fileName))
        return SaveResult::NameNotStorable;
    const quint32 flags = flagsOf(annotations);
    // The shown image's row as it was shown, and as it stands: nothing of
    // the person's to write.
    const bool unedited = fileName == shownImage && flags == shownFlags;
    if (unedited && shownVersion > 0 && facts(fileName).flags == flags)
        return SaveResult::Saved;
    const auto found = known->rows.constFind(fileName);
    const qint64 knownVersion = fileName == shownImage ? shownVersion
        : found == known->rows.constEnd()              ? 0
                                                       : found->version;
    // The window paints while it waits, and may take in others' saves.
    const QByteArray before = row(fileName);
    auto reply = std::make_shared<TeamReply>();
    // The server refuses the save once the window no longer waits for it.
    const qint64 deadline =
        QDateTime::currentMSecsSinceEpoch() + answerMilliseconds - deadlineMarginMilliseconds;
    QMetaObject::invokeMethod(worker, [w = worker, reply, fileName, flags, knownVersion, deadline] {
        w->save(fileName, flags, knownVersion, deadline, reply);
    });
    if (!await(reply, answerMilliseconds, waiting) && reply->abandon()) {
        worker->cancelFromAnyThread();
        refusal = tr("服务器在 %1 秒内无应答").arg(answerMilliseconds / 1000);
        return SaveResult::Unreachable;
    }
    return takeSaveOutcome(fileName, reply->outcome(), before, unedited);
}

SaveResult TeamStore::takeSaveOutcome(const QString &fileName, const TeamOutcome &outcome,
                                      const QByteArray &before, bool unedited)
{
    if (outcome.kind == TeamOutcome::Done || outcome.kind == TeamOutcome::Conflict) {
        if (fileName == shownImage) {
            shownVersion = outcome.row.version;
            shownFlags = outcome.row.flags;
        }
    }
    switch (outcome.kind) {
    case TeamOutcome::Done:
        if (enter(outcome.row)) {
            emit rowReplaced(fileName, before, row(fileName));
            emit rowSaved(fileName);
        }
        return SaveResult::Saved;
    case TeamOutcome::Conflict:
        if (enter(outcome.row)) {
            emit rowSaved(fileName);
            emit savedElsewhere(fileName);
        }
        // Labels nobody changed follow the other's save rather than
        // overwrite it; changed ones are refused once, and the same save
        // again overwrites.
        if (unedited)
            return SaveResult::Saved;
        refusal = outcome.row.annotator;
        return SaveResult::Conflict;
    case TeamOutcome::Unconfirmed:
        refusal = outcome.error;
        return SaveResult::Unconfirmed;
    case TeamOutcome::Failed:
        break;
    }
    refusal = outcome.error;
    return SaveResult::Unreachable;
}

qsizetype TeamStore::takeNextUnmarked(qsizetype position, const std::function<bool()> &waiting,
                                      QString *error)
{
    QElapsedTimer waited;
    waited.start();
    qsizetype from = position;
    for (;;) {
        QStringList candidates;
        QList<qsizetype> positions;
        for (qsizetype i = nextUnmarked(from); i >= 0 && candidates.size() < candidatesPerCall;
             i = nextUnmarked(i)) {
            candidates.append(listed.names.at(i));
            positions.append(i);
        }
        if (candidates.isEmpty())
            return -1;
        auto reply = std::make_shared<TeamReply>();
        QMetaObject::invokeMethod(worker, [w = worker, reply, candidates] {
            w->takeNext(candidates, reply);
        });
        const int left = int(std::max<qint64>(answerMilliseconds - waited.elapsed(), 0));
        if (!await(reply, left, waiting)) {
            *error = tr("服务器在 %1 秒内无应答").arg(answerMilliseconds / 1000);
            return -1;
        }
        const TeamOutcome outcome = reply->outcome();
        if (outcome.kind == TeamOutcome::Failed) {
            *error = outcome.error;
            return -1;
        }
        if (!outcome.taken.isEmpty()) {
            heldImage = outcome.taken;
            return positions.at(candidates.indexOf(outcome.taken));
        }
        from = positions.last();
    }
}
