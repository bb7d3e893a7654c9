#include "teamstore.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QUuid>

#include <algorithm>

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
    , listed(catalogue.size())
{
    thread->setObjectName(QStringLiteral("norvanta-team"));
    worker->moveToThread(thread.get());
    // Any save that is news here was not answered to this window: another
    // window's, or one of its own that it gave up on or lost the answer of.
    connect(worker, &TeamWorker::rowChanged, this, [this](const TeamRow &row) {
        if (!enter(row))
            return;
        // The shown image that waited for its second labelling is now this
        // role's: a save goes into its second row, as given.
        if (row.second && !row.saved && row.image == shownImage && shownVersion == 0
            && known->blind(row.image))
            shownVersion = row.stamp;
        emit rowSaved(row.image);
        emit savedElsewhere(row.image);
    });
    connect(worker, &TeamWorker::readingReady, this, [this] {
        // Nothing when two readings came in quick succession and the call
        // for the first took the second already.
        if (adopt(worker->takeReading()))
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
    ownRole = reply->outcome().taken;
    adopt(reply->reading());
    return true;
}

TeamStore::RowFacts TeamStore::facts(const QString &fileName) const
{
    return known->facts(fileName);
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
    if (const TeamSnapshot::Second *second = known->blind(fileName); second && replacement.isEmpty())
        return saveSecondRow(fileName, std::nullopt, *second, waiting);
    // Not this role's yet, so nothing of it to take back.
    if (replacement.isEmpty() && known->waits(fileName))
        return SaveResult::Saved;
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
    if (const TeamSnapshot::Second *second = known->blind(fileName))
        return second->saved ? second->annotator : QString();
    if (known->waits(fileName))
        return QString();
    const auto found = known->rows.constFind(fileName);
    return found == known->rows.constEnd() ? QString() : known->annotatorOf(*found);
}

qint64 TeamStore::savedAt(const QString &fileName) const
{
    if (const TeamSnapshot::Second *second = known->blind(fileName))
        return second->saved ? second->savedAtMs : 0;
    if (known->waits(fileName))
        return 0;
    const auto found = known->rows.constFind(fileName);
    return found == known->rows.constEnd() ? 0 : found->savedAtMs;
}

std::optional<QString> TeamStore::lastMarkedName() const
{
    if (lastMarked.isNull())
        return std::nullopt;
    return lastMarked;
}

// The reading was made ready on the worker, with every save of this window
// since entered, and with this window's listed images unless another folder
// was opened meanwhile; a save or notification heard before it was read is
// in it. What it replaces is let go on the worker too: freeing a million
// rows takes a while.
bool TeamStore::adopt(std::shared_ptr<TeamReading> reading)
{
    if (!reading)
        return false;
    std::swap(known, reading->snapshot);
    std::swap(lastMarked, reading->lastMarked);
    const bool sameList = reading->listed.names() == listed.names();
    std::swap(listed, reading->listed);
    if (!sameList)
        setListedNames(reading->listed.names());
    QMetaObject::invokeMethod(worker, [old = std::move(reading)]() mutable { old.reset(); });
    return true;
}

bool TeamStore::enter(const TeamRow &row)
{
    return TeamReading::enter(*known, listed, lastMarked, row);
}

void TeamStore::setListedNames(const QStringList &names)
{
    drawn.clear();
    listed.setNamesAndRecount(names, [this](const QString &name) { return facts(name); });
    QMetaObject::invokeMethod(worker, [this, names] { worker->setListedNames(names); });
}

AnnotationFormat::MarkCounts TeamStore::markCounts() const
{
    return listed.markCounts();
}

QList<qsizetype> TeamStore::labelCounts() const
{
    return listed.labelCounts();
}

qsizetype TeamStore::listedPosition(const QString &fileName) const
{
    return listed.position(fileName);
}

TeamStore::RowFacts TeamStore::listedFacts(qsizetype position) const
{
    return listed.facts(position);
}

qsizetype TeamStore::nextUnmarked(qsizetype position) const
{
    return listed.nextUnmarked(position);
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
    const bool waits = known->waits(fileName);
    if (const TeamSnapshot::Second *second = known->blind(fileName)) {
        shownVersion = second->stamp;
        shownFlags = second->flags;
    } else if (waits) {
        shownVersion = 0;
        shownFlags = 0;
    } else if (shownVersion > 0 && !isOwnRow(fileName)) {
        shownFirstRows.insert(fileName);
    }
    if (fileName != shownImage) {
        shownImage = fileName;
        // A step by Ctrl+U took the hold already.
        if (fileName != heldImage) {
            heldImage = fileName;
            QMetaObject::invokeMethod(worker, [w = worker, fileName] { w->hold(fileName); });
        }
    }
    // Shown blind, it is asked to be given to this role (and held), unless
    // another window shows it; the answer comes as another window's save.
    if (waits) {
        QMetaObject::invokeMethod(worker, [w = worker, fileName] {
            w->takeSecond({fileName}, nullptr);
        });
    }
}

SaveResult TeamStore::saveRow(const QString &fileName,
                                             const QStringList &annotations,
                                             const std::function<bool()> &waiting)
{
    refusal.clear();
    if (!AnnotationFormat::canHoldName(fileName))
        return SaveResult::NameNotStorable;
    const quint32 flags = flagsOf(annotations);
    if (known->waits(fileName)) {
        if (const std::optional<SaveResult> refused = takeWaiting(fileName, waiting))
            return *refused;
    }
    if (const TeamSnapshot::Second *second = known->blind(fileName))
        return saveSecondRow(fileName, flags, *second, waiting);
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

// A save of an image waiting for its second labelling never writes the
// first row this window did not show: the image is given to this role
// first (none when it is now), else the save is refused. Given to another
// role, its row shows here from now on and the save is refused as a
// conflict with it (the same save again writes it, knowing it); while
// another window shows it, it still waits.
std::optional<SaveResult> TeamStore::takeWaiting(const QString &fileName,
                                                 const std::function<bool()> &waiting)
{
    auto reply = std::make_shared<TeamReply>();
    QMetaObject::invokeMethod(worker, [w = worker, reply, fileName] {
        w->takeSecond({fileName}, reply);
    });
    if (!await(reply, answerMilliseconds, waiting) && reply->abandon()) {
        refusal = tr("服务器在 %1 秒内无应答").arg(answerMilliseconds / 1000);
        return SaveResult::Unreachable;
    }
    const TeamOutcome outcome = reply->outcome();
    if (outcome.kind == TeamOutcome::Failed) {
        refusal = outcome.error;
        return SaveResult::Unreachable;
    }
    const bool news = outcome.row.second && outcome.row.stamp > 0 && enter(outcome.row);
    if (!outcome.taken.isEmpty()) {
        heldImage = fileName;
        if (fileName == shownImage && shownVersion == 0)
            shownVersion = outcome.row.stamp;
    }
    if (known->blind(fileName))
        return std::nullopt;
    if (news)
        emit rowSaved(fileName);
    const auto first = known->rows.constFind(fileName);
    if (known->waits(fileName) || first == known->rows.constEnd())
        return SaveResult::Held;
    if (fileName == shownImage) {
        shownVersion = first->version;
        shownFlags = first->flags;
    }
    refusal = known->annotatorOf(*first);
    return SaveResult::Conflict;
}

// The second annotator's save goes into the second row, by a save's rules;
// `flags` none makes it unsaved again (an undo of its first save).
SaveResult TeamStore::saveSecondRow(const QString &fileName, std::optional<quint32> flags,
                                    TeamSnapshot::Second second,
                                    const std::function<bool()> &waiting)
{
    const bool unedited = fileName == shownImage && flags && *flags == shownFlags;
    if (unedited && second.saved && second.flags == *flags)
        return SaveResult::Saved;
    const qint64 knownStamp = fileName == shownImage ? shownVersion : second.stamp;
    const QByteArray before = row(fileName);
    auto reply = std::make_shared<TeamReply>();
    const qint64 deadline =
        QDateTime::currentMSecsSinceEpoch() + answerMilliseconds - deadlineMarginMilliseconds;
    QMetaObject::invokeMethod(worker, [w = worker, reply, fileName, flags, knownStamp, deadline] {
        w->saveSecond(fileName, flags, knownStamp, deadline, reply);
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
        // A reviewer's save settled the image labelled twice, and accepted it.
        if (!outcome.row.second && outcome.row.review == Accepted)
            settled(fileName);
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

// The notification of the save brings the second row as the server keeps
// it; meanwhile this window knows what it settled.
void TeamStore::settled(const QString &fileName)
{
    const auto second = known->seconds.find(fileName);
    const auto first = known->rows.constFind(fileName);
    if (second == known->seconds.end() || !second->saved || second->settled
        || first == known->rows.constEnd())
        return;
    second->settled = true;
    second->firstFlags = first->flags;
}

std::optional<AnnotationStore::DoubleLabels> TeamStore::doubleLabelsOf(const QString &fileName) const
{
    const auto second = known->seconds.constFind(fileName);
    const auto first = known->rows.constFind(fileName);
    if (second == known->seconds.constEnd() || !second->saved || second->own
        || first == known->rows.constEnd() || first->version <= 0)
        return std::nullopt;
    DoubleLabels labels;
    labels.first = second->settled && second->firstFlags >= 0 ? quint32(second->firstFlags)
                                                              : first->flags;
    labels.second = second->flags;
    labels.settled = second->settled;
    return labels;
}

TeamStore::Review TeamStore::reviewOf(const QString &fileName) const
{
    if (known->blind(fileName) || known->waits(fileName))
        return Unreviewed;
    const auto found = known->rows.constFind(fileName);
    return found == known->rows.constEnd() ? Unreviewed : Review(found->review);
}

// The row was saved under this window's name: the annotator's, else the
// role's, as the server authenticated it.
bool TeamStore::isOwnRow(const QString &fileName) const
{
    const auto found = known->rows.constFind(fileName);
    if (found == known->rows.constEnd())
        return false;
    const QString savedBy = known->annotatorOf(*found);
    return savedBy == (annotatorName.isEmpty() ? ownRole : annotatorName);
}

QString TeamStore::ownSentBackReason(const QString &fileName) const
{
    if (reviewOf(fileName) != SentBack || !isOwnRow(fileName))
        return QString();
    return known->reasons.value(fileName);
}

bool TeamStore::review(const QString &fileName, bool accept, const QString &reason,
                       const std::function<bool()> &waiting, QString *error)
{
    const qint64 knownVersion = fileName == shownImage ? shownVersion : 0;
    // The second annotator judges no first row they may not see.
    if (known->blind(fileName)) {
        *error = tr("此图片的标签已更改，请查看后再审核");
        return false;
    }
    auto reply = std::make_shared<TeamReply>();
    QMetaObject::invokeMethod(worker, [w = worker, reply, fileName, knownVersion, accept, reason] {
        w->review(fileName, knownVersion, accept, reason, reply);
    });
    if (!await(reply, answerMilliseconds, waiting) && reply->abandon()) {
        *error = tr("服务器在 %1 秒内无应答").arg(answerMilliseconds / 1000);
        return false;
    }
    const TeamOutcome outcome = reply->outcome();
    if (outcome.kind != TeamOutcome::Done) {
        *error = outcome.error;
        return false;
    }
    if (fileName == shownImage)
        shownVersion = outcome.row.version;
    // The server let go of an image sent back.
    if (!accept && fileName == heldImage)
        heldImage.clear();
    if (enter(outcome.row))
        emit rowSaved(fileName);
    return true;
}

// The images sent back to this window's annotator come first, in the
// listed order; then the unmarked ones after `position`.
qsizetype TeamStore::takeNextUnmarked(qsizetype position, const std::function<bool()> &waiting,
                                      QString *error)
{
    QList<qsizetype> sentBack;
    for (auto it = known->reasons.cbegin(); it != known->reasons.cend(); ++it) {
        const qsizetype at = listed.position(it.key());
        if (at >= 0 && at != position && reviewOf(it.key()) == SentBack && isOwnRow(it.key()))
            sentBack.append(at);
    }
    if (!sentBack.isEmpty()) {
        std::sort(sentBack.begin(), sentBack.end());
        QString failed;
        const qsizetype taken = takeFirstFree(sentBack, waiting, &failed);
        if (!failed.isEmpty()) {
            *error = failed;
            return -1;
        }
        if (taken >= 0)
            return taken;
    }
    QString failed;
    const qsizetype doubled = takeDoubled(position, waiting, &failed);
    if (!failed.isEmpty()) {
        *error = failed;
        return -1;
    }
    if (doubled >= 0)
        return doubled;
    return takeUnmarkedAfter(position, waiting, error);
}

// The draw of each listed image, made once per listing and share: a step
// at the end of a big dataset passes every listed row.
bool TeamStore::isDoubledAt(qsizetype position)
{
    if (drawn.size() != std::size_t(listed.size()) || drawnPercent != known->overlapPercent
        || drawnSeed != known->overlapSeed) {
        drawn.assign(std::size_t(listed.size()), -1);
        drawnPercent = known->overlapPercent;
        drawnSeed = known->overlapSeed;
    }
    qint8 &at = drawn[std::size_t(position)];
    if (at < 0)
        at = known->isDoubled(listed.names().at(position)) ? 1 : 0;
    return at == 1;
}

// An image chosen to be labelled twice, saved by someone else, that nobody
// labels second yet or that this role was given and has not saved: in the
// listed order, offered to the server a part at a time, which gives it to
// this role (one other annotator only) and holds it. Its second row, now
// known, stands for its row in this window from the first display on.
qsizetype TeamStore::takeDoubled(qsizetype position, const std::function<bool()> &waiting,
                                 QString *error)
{
    if (known->overlapPercent <= 0)
        return -1;
    QElapsedTimer waited;
    waited.start();
    qsizetype from = 0;
    const QStringList &names = listed.names();
    while (from < names.size()) {
        QStringList candidates;
        QList<qsizetype> positions;
        for (; from < names.size() && candidates.size() < candidatesPerCall; ++from) {
            const QString &name = names.at(from);
            const auto first = known->rows.constFind(name);
            const auto second = known->seconds.constFind(name);
            if (from == position || first == known->rows.constEnd() || first->version <= 0
                || (second != known->seconds.constEnd()
                    && (!second->own || second->saved || second->settled))
                || isOwnRow(name) || shownFirstRows.contains(name) || !isDoubledAt(from))
                continue;
            candidates.append(name);
            positions.append(from);
        }
        if (candidates.isEmpty())
            return -1;
        const std::optional<qsizetype> taken = offer(&TeamWorker::takeSecond, candidates, positions,
                                                     answerMilliseconds - waited.elapsed(), waiting, error);
        if (!taken || *taken >= 0)
            return taken.value_or(-1);
    }
    return -1;
}

qsizetype TeamStore::takeUnmarkedAfter(qsizetype position, const std::function<bool()> &waiting,
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
            candidates.append(listed.names().at(i));
            positions.append(i);
        }
        if (candidates.isEmpty())
            return -1;
        const std::optional<qsizetype> taken = offer(&TeamWorker::takeNext, candidates, positions,
                                                     answerMilliseconds - waited.elapsed(), waiting, error);
        if (!taken || *taken >= 0)
            return taken.value_or(-1);
        from = positions.last();
    }
}

qsizetype TeamStore::takeFirstFree(const QList<qsizetype> &positions,
                                   const std::function<bool()> &waiting, QString *error)
{
    QStringList candidates;
    for (const qsizetype position : positions)
        candidates.append(listed.names().at(position));
    if (candidates.isEmpty())
        return -1;
    return offer(&TeamWorker::takeNext, candidates, positions, answerMilliseconds, waiting, error).value_or(-1);
}

// Offers `candidates` (at listed `positions`) to the server through the
// worker's `take`, waiting `milliseconds` at most: the position of the one
// the server gave this window and holds for it, or -1 when none was free;
// nothing, with the reason in `error`, when the server failed or did not
// answer. A second row given with the image is taken in at once.
std::optional<qsizetype> TeamStore::offer(Take take, const QStringList &candidates, const QList<qsizetype> &positions,
                           qint64 milliseconds, const std::function<bool()> &waiting, QString *error)
{
    auto reply = std::make_shared<TeamReply>();
    QMetaObject::invokeMethod(worker, [w = worker, take, reply, candidates] { (w->*take)(candidates, reply); });
    if (!await(reply, int(std::max<qint64>(milliseconds, 0)), waiting)) {
        *error = tr("服务器在 %1 秒内无应答").arg(answerMilliseconds / 1000);
        return std::nullopt;
    }
    const TeamOutcome outcome = reply->outcome();
    if (outcome.kind == TeamOutcome::Failed) {
        *error = outcome.error;
        return std::nullopt;
    }
    if (outcome.taken.isEmpty())
        return -1;
    if (outcome.row.second)
        enter(outcome.row);
    heldImage = outcome.taken;
    return positions.at(candidates.indexOf(outcome.taken));
}
