#include "teamworker.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>
#include <QtEndian>

#include <algorithm>

// A hold lapses 120 s after its last renewal; renewing four times as often
// survives a slow server.
static constexpr int renewalMilliseconds = 30000;
// A listening connection that died (a server restart) says nothing; it is
// asked this often whether it still stands.
static constexpr int listenerCheckMilliseconds = 1000;
// Saves told less than this after the last are told together.
static constexpr int announcementMilliseconds = 200;

bool TeamSnapshot::enter(const TeamRow &row)
{
    if (row.second)
        return enterSecond(row);
    Entry &entry = rows[row.image];
    if (entry.version >= row.version && entry.version != 0)
        return false;
    const auto intern = [](QHash<QString, qint32> &index, QStringList &names, const QString &name) {
        // Rows come in runs of one annotator and one window.
        if (!names.isEmpty() && names.constLast() == name)
            return qint32(names.size() - 1);
        auto found = index.constFind(name);
        if (found != index.constEnd())
            return *found;
        names.append(name);
        return *index.insert(name, qint32(names.size() - 1));
    };
    entry.flags = row.flags;
    entry.version = row.version;
    entry.review = qint8(row.review);
    if (row.reason.isEmpty())
        reasons.remove(row.image);
    else
        reasons.insert(row.image, row.reason);
    entry.savedAtMs = row.savedAtMs;
    const qint32 annotator = intern(personIndex, people, row.annotator);
    // A review names no role and keeps the row's saver.
    if (!row.role.isEmpty())
        entry.role = intern(roleIndex, roles, row.role);
    else if (annotator != entry.annotator)
        entry.role = -1;
    entry.annotator = annotator;
    entry.client = intern(clientIndex, clients, row.client);
    return true;
}

// A row whose role was not told (a conflict's) is judged by its annotator.
bool TeamSnapshot::savedByOwnRole(const Entry &entry) const
{
    if (entry.role >= 0)
        return roles.at(entry.role) == ownRole;
    return annotatorOf(entry) == ownName;
}

bool TeamSnapshot::waits(const QString &image) const
{
    if (overlapPercent <= 0 || reviews)
        return false;
    const auto found = rows.constFind(image);
    return found != rows.constEnd() && waits(image, *found);
}

// The cheap questions first: the draw's md5 is asked once per name.
bool TeamSnapshot::waits(const QString &image, const Entry &entry) const
{
    if (overlapPercent <= 0 || reviews || entry.version <= 0 || savedByOwnRole(entry)
        || seconds.contains(image))
        return false;
    if (entry.drawn < 0)
        entry.drawn = isDoubled(image) ? 1 : 0;
    return entry.drawn == 1;
}

// A second row's stamp grows with every change of it.
bool TeamSnapshot::enterSecond(const TeamRow &row)
{
    Second &second = seconds[row.image];
    if (second.stamp >= row.stamp && second.stamp != 0)
        return false;
    second.flags = row.saved ? row.flags : 0;
    second.saved = row.saved;
    second.own = row.role == ownRole;
    second.settled = row.settled;
    second.firstFlags = row.firstFlags;
    second.stamp = row.stamp;
    second.savedAtMs = row.savedAtMs;
    second.annotator = row.annotator;
    return true;
}

const TeamSnapshot::Second *TeamSnapshot::blind(const QString &image) const
{
    if (seconds.isEmpty())
        return nullptr;
    const auto found = seconds.constFind(image);
    return found != seconds.constEnd() && found->own && !found->settled ? &*found : nullptr;
}

bool TeamSnapshot::isDoubled(const QString &image) const
{
    if (overlapPercent <= 0)
        return false;
    const QByteArray digest = QCryptographicHash::hash(
        (QString::number(overlapSeed) + u'/' + image).toUtf8(), QCryptographicHash::Md5);
    const quint32 drawn = qFromBigEndian<quint32>(digest.constData());
    return double(drawn) / 4294967296.0 * 100.0 < overlapPercent;
}

AnnotationStore::RowFacts TeamSnapshot::facts(const QString &image) const
{
    AnnotationStore::RowFacts facts;
    if (const Second *second = blind(image)) {
        facts.hasRow = second->saved;
        facts.flags = second->flags;
        facts.marked = second->flags != 0;
        return facts;
    }
    const auto found = rows.constFind(image);
    if (found == rows.constEnd() || waits(image, *found))
        return facts;
    facts.hasRow = found->version > 0;
    facts.flags = found->flags;
    facts.marked = found->flags != 0;
    return facts;
}

// A name is compared as followed by ",", the way its row is, since no name
// holds a ",".
bool TeamSnapshot::rowsAfter(QStringView name, QStringView other)
{
    const qsizetype common = std::min(name.size(), other.size());
    const int order = name.first(common).compare(other.first(common));
    if (order != 0)
        return order > 0;
    const QChar nameNext = common < name.size() ? name.at(common) : QChar(u',');
    const QChar otherNext = common < other.size() ? other.at(common) : QChar(u',');
    return nameNext > otherNext;
}

QString TeamSnapshot::lastMarkedName() const
{
    QString last;
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        const bool marked = seconds.isEmpty() && (overlapPercent <= 0 || reviews)
            ? it->flags != 0
            : facts(it.key()).marked;
        if (marked && (last.isNull() || rowsAfter(it.key(), last)))
            last = it.key();
    }
    return last;
}

bool TeamReading::enter(TeamSnapshot &rows, ListedImages &listed, QString &last,
                        const TeamRow &row)
{
    if (!rows.enter(row))
        return false;
    const AnnotationStore::RowFacts after = rows.facts(row.image);
    if (after.marked && (last.isNull() || TeamSnapshot::rowsAfter(row.image, last)))
        last = row.image;
    else if (!after.marked && row.image == last)
        last = rows.lastMarkedName();
    listed.change(row.image, after);
    return true;
}

bool TeamReply::wait(int milliseconds)
{
    QMutexLocker locker(&mutex);
    if (!done)
        answered.wait(&mutex, QDeadlineTimer(milliseconds));
    return done;
}

bool TeamReply::answer(TeamOutcome outcome, std::shared_ptr<TeamReading> reading)
{
    QMutexLocker locker(&mutex);
    result = std::move(outcome);
    read = std::move(reading);
    done = true;
    answered.wakeAll();
    return !abandoned;
}

bool TeamReply::abandon()
{
    QMutexLocker locker(&mutex);
    abandoned = !done;
    return abandoned;
}

TeamOutcome TeamReply::outcome() const
{
    QMutexLocker locker(&mutex);
    return result;
}

std::shared_ptr<TeamReading> TeamReply::reading() const
{
    QMutexLocker locker(&mutex);
    return read;
}

TeamWorker::TeamWorker(const TeamAddress &address, const QStringList &catalogue,
                       const QString &annotator, const QString &client)
    : database(address, catalogue, annotator, client)
    , address(address)
    , listenerName(database.connectionName() + QStringLiteral("-listening"))
    , announcement(new QTimer(this))
    , hearing(new QTimer(this))
    , labelCount(catalogue.size())
{
    announcement->setSingleShot(true);
    // Every notification that arrived together is read in one statement,
    // once the driver has handed them all over.
    hearing->setSingleShot(true);
    hearing->setInterval(0);
    connect(hearing, &QTimer::timeout, this, &TeamWorker::readHeard);
    connect(announcement, &QTimer::timeout, this, &TeamWorker::announce);
    // A save the window has given up on after five seconds must not be
    // written after all: the save's deadline refuses it once it runs, and
    // the server ends it first when it waits too long for a row's lock.
    // Reading a whole dataset is one statement too, and may take longer.
    database.setStatementTimeout(4500);
}

TeamWorker::~TeamWorker()
{
    announcing.reset();
    QSqlDatabase::removeDatabase(listenerName);
}

bool TeamWorker::ready(QString *error)
{
    if (!database.open(error))
        return false;
    learnTruth();
    return true;
}

// The rows of saves in doubt, as the server has them now, go to the window
// as any other save's; a row the window knows already changes nothing.
void TeamWorker::learnTruth()
{
    while (!secondsInDoubt.isEmpty()) {
        TeamRow row;
        if (!database.readSecondRow(secondsInDoubt.constFirst(), &row))
            return;
        secondsInDoubt.removeFirst();
        if (row.stamp > 0)
            emit rowChanged(row);
    }
    while (!inDoubt.isEmpty()) {
        TeamRow row;
        if (!database.readRow(inDoubt.constFirst(), &row))
            return;
        inDoubt.removeFirst();
        if (row.version > 0)
            emit rowChanged(row);
    }
}

// Whatever failed, a connection that no longer answers is made anew by the
// next call.
void TeamWorker::afterFailure()
{
    if (database.connectionLost())
        database.close();
}

std::shared_ptr<TeamReading> TeamWorker::readAll(QString *error)
{
    auto reading = std::make_shared<TeamReading>(labelCount);
    TeamSnapshot *snapshot = reading->snapshot.get();
    snapshot->rows.reserve(1024);
    snapshot->ownRole = database.role();
    snapshot->ownName = database.annotator().isEmpty() ? database.role() : database.annotator();
    if (!database.readOverlap(&snapshot->overlapPercent, &snapshot->overlapSeed, error,
                              &snapshot->reviews)
        || !database.readAll([snapshot](TeamRow &&row) { snapshot->enter(row); }, error)) {
        afterFailure();
        return {};
    }
    reading->findLastMarked();
    reading->listed.setNamesAndRecount(
        listedNames, [snapshot](const QString &name) { return snapshot->facts(name); });
    return reading;
}

bool TeamWorker::readAnew()
{
    QString error;
    // Counted before the rows are read: an import after it is heard of, and
    // found to be news.
    const qint64 importsBefore = database.imports();
    auto reading = readAll(&error);
    if (!reading)
        return false;
    knownImports = importsBefore;
    {
        QMutexLocker locker(&readingMutex);
        pendingReading = std::move(reading);
    }
    emit readingReady();
    return true;
}

std::shared_ptr<TeamReading> TeamWorker::takeReading()
{
    QMutexLocker locker(&readingMutex);
    return std::exchange(pendingReading, nullptr);
}

void TeamWorker::enterInReading(const TeamOutcome &outcome)
{
    if (outcome.kind == TeamOutcome::Failed || outcome.kind == TeamOutcome::Unconfirmed)
        return;
    QMutexLocker locker(&readingMutex);
    if (pendingReading)
        pendingReading->enter(outcome.row);
}

void TeamWorker::open(const std::shared_ptr<TeamReply> &reply)
{
    TeamOutcome outcome;
    if (!renewal) {
        renewal = new QTimer(this);
        connect(renewal, &QTimer::timeout, this, [this] {
            if (database.isOpen() && !database.renewHolds())
                afterFailure();
        });
        renewal->start(renewalMilliseconds);
        listenerCheck = new QTimer(this);
        connect(listenerCheck, &QTimer::timeout, this, &TeamWorker::checkListener);
        listenerCheck->start(listenerCheckMilliseconds);
    }
    // Listening first: a save between the read and the listening would be missed.
    listen();
    std::shared_ptr<TeamReading> reading;
    // Counted before the rows are read, as readAnew() does.
    const bool opened = ready(&outcome.error);
    if (opened)
        knownImports = database.imports();
    if (!opened || !(reading = readAll(&outcome.error)))
        outcome.kind = TeamOutcome::Failed;
    else
        database.prepareForWork();
    outcome.taken = database.role();
    reply->answer(outcome, reading);
}

void TeamWorker::save(const QString &image, quint32 flags, qint64 knownVersion, qint64 deadlineMs,
                      const std::shared_ptr<TeamReply> &reply)
{
    TeamOutcome outcome;
    if (!ready(&outcome.error)) {
        outcome.kind = TeamOutcome::Failed;
    } else {
        outcome = database.save(image, flags, knownVersion, deadlineMs);
        if (outcome.kind == TeamOutcome::Failed || outcome.kind == TeamOutcome::Unconfirmed)
            afterFailure();
    }
    // A save that ended after the window gave it up is told like another
    // window's: the window learns of it either way.
    enterInReading(outcome);
    const bool heard = reply->answer(outcome);
    if (outcome.kind == TeamOutcome::Unconfirmed && !inDoubt.contains(image))
        inDoubt.append(image);
    if (outcome.kind == TeamOutcome::Done) {
        if (!heard)
            emit rowChanged(outcome.row);
        announceSoon(outcome.row);
    }
}

// Told as a save is: a review is a new version of the row.
void TeamWorker::review(const QString &image, qint64 knownVersion, bool accept,
                        const QString &reason, const std::shared_ptr<TeamReply> &reply)
{
    TeamOutcome outcome;
    if (!ready(&outcome.error)) {
        outcome.kind = TeamOutcome::Failed;
    } else {
        outcome = database.review(image, knownVersion, accept, reason);
        if (outcome.kind == TeamOutcome::Failed)
            afterFailure();
    }
    enterInReading(outcome);
    const bool heard = reply->answer(outcome);
    if (outcome.kind == TeamOutcome::Done) {
        if (!heard)
            emit rowChanged(outcome.row);
        announceSoon(outcome.row);
    }
}

// Every window, this one too, hears of a save once it is committed, from the
// listening connection, whose commits need not wait for the disk: a
// notification lost in a crash of the server is made good by the reading
// anew that follows it. The server keeps notifications in commit order under
// one lock, held until the commit is on disk; a save that told the
// listeners itself would hold it while its row is written, and the saves of
// many windows at once would wait for each other.
//
// Each notification wakes every listening window and its server process. A
// save is told at once, unless this window told one less than
// `announcementMilliseconds` ago: then the saves until then go together, in
// one notification a line each. A person never saves that fast; a program
// saving for many may.
void TeamWorker::announceSoon(const TeamRow &row)
{
    unannounced.append(TeamDatabase::payloadOf(database.dataset(), row.stamp));
    if (announcement->isActive())
        return;
    const qint64 since = lastAnnounced.isValid() ? lastAnnounced.elapsed() : announcementMilliseconds;
    if (since >= announcementMilliseconds)
        announce();
    else
        announcement->start(int(announcementMilliseconds - since));
}

void TeamWorker::announce()
{
    announcement->stop();
    lastAnnounced.start();
    // The server takes payloads of under 8000 bytes; a UTF-16 unit is at
    // most three bytes of UTF-8.
    constexpr qsizetype most = 7000;
    QString payload;
    for (const QString &line : std::as_const(unannounced)) {
        if (!payload.isEmpty() && (payload.size() + 1 + line.size()) * 3 > most) {
            tell(payload);
            payload.clear();
        }
        if (!payload.isEmpty())
            payload += u'\n';
        payload += line;
    }
    if (!payload.isEmpty())
        tell(payload);
    unannounced.clear();
}

void TeamWorker::tell(const QString &payload)
{
    if (listening && !announcing) {
        announcing = std::make_unique<QSqlQuery>(QSqlDatabase::database(listenerName, false));
        if (!announcing->prepare(QStringLiteral("SELECT pg_notify(?, ?)")))
            announcing.reset();
    }
    if (listening && announcing) {
        announcing->bindValue(0, TeamDatabase::channel());
        announcing->bindValue(1, payload);
        if (announcing->exec()) {
            announcing->finish();
            return;
        }
        announcing.reset();
    }
    if (!database.announce(payload))
        afterFailure();
}

void TeamWorker::hold(const QString &image)
{
    QString error;
    if (ready(&error) && database.hold(image).kind == TeamOutcome::Failed)
        afterFailure();
}

void TeamWorker::takeNext(const QStringList &candidates, const std::shared_ptr<TeamReply> &reply)
{
    TeamOutcome outcome;
    if (!ready(&outcome.error)) {
        outcome.kind = TeamOutcome::Failed;
    } else {
        outcome = database.takeNext(candidates);
        if (outcome.kind == TeamOutcome::Failed)
            afterFailure();
    }
    reply->answer(outcome);
}

void TeamWorker::saveSecond(const QString &image, std::optional<quint32> flags, qint64 knownStamp,
                            qint64 deadlineMs, const std::shared_ptr<TeamReply> &reply)
{
    TeamOutcome outcome;
    if (!ready(&outcome.error)) {
        outcome.kind = TeamOutcome::Failed;
    } else {
        outcome = database.saveSecond(image, flags, knownStamp, deadlineMs);
        if (outcome.kind == TeamOutcome::Failed || outcome.kind == TeamOutcome::Unconfirmed)
            afterFailure();
    }
    if ((outcome.kind == TeamOutcome::Failed || outcome.kind == TeamOutcome::Unconfirmed)
        && !secondsInDoubt.contains(image))
        secondsInDoubt.append(image);
    enterInReading(outcome);
    const bool heard = reply->answer(outcome);
    if (outcome.kind == TeamOutcome::Done) {
        if (!heard)
            emit rowChanged(outcome.row);
        announceSoon(outcome.row);
    }
}

// The other windows of the role learn that the image is now theirs to
// label second, blind.
void TeamWorker::takeSecond(const QStringList &candidates, const std::shared_ptr<TeamReply> &reply)
{
    TeamOutcome outcome;
    if (!ready(&outcome.error)) {
        outcome.kind = TeamOutcome::Failed;
    } else {
        outcome = database.takeSecond(candidates);
        if (outcome.kind == TeamOutcome::Failed)
            afterFailure();
    }
    // Given to another role perhaps: the window learns whether it still waits.
    TeamRow standing;
    if (outcome.kind == TeamOutcome::Done && outcome.taken.isEmpty() && candidates.size() == 1
        && database.readSecondRow(candidates.constFirst(), &standing) && standing.stamp > 0) {
        outcome.row = standing;
        enterInReading(outcome);
    }
    if (!outcome.taken.isEmpty())
        enterInReading(outcome);
    const bool heard = reply && reply->answer(outcome);
    if (!heard && outcome.row.second && outcome.row.stamp > 0)
        emit rowChanged(outcome.row);
    if (!outcome.taken.isEmpty())
        announceSoon(outcome.row);
}

void TeamWorker::finish()
{
    if (!unannounced.isEmpty())
        announce();
    if (database.isOpen())
        database.hold(QString());
    database.close();
    announcing.reset();
    if (QSqlDatabase::contains(listenerName))
        QSqlDatabase::database(listenerName, false).close();
    listening = false;
    delete renewal;
    renewal = nullptr;
    delete listenerCheck;
    listenerCheck = nullptr;
}

void TeamWorker::listen()
{
    QSqlDatabase listener = QSqlDatabase::contains(listenerName)
        ? QSqlDatabase::database(listenerName, false)
        : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), listenerName);
    if (!listener.isValid())
        return;
    announcing.reset();
    listener.close();
    listener.setConnectOptions(address.connectOptions());
    if (!listener.open())
        return;
    QSqlQuery(listener).exec(QStringLiteral("SET synchronous_commit = off"));
    connect(listener.driver(), &QSqlDriver::notification, this, &TeamWorker::notified,
            Qt::UniqueConnection);
    listening = listener.driver()->subscribeToNotification(TeamDatabase::channel());
}

// A listening connection that was lost has missed saves: once it stands
// again, the dataset is read anew.
void TeamWorker::checkListener()
{
    QSqlDatabase listener = QSqlDatabase::database(listenerName, false);
    bool standing = listening && listener.isOpen();
    if (standing) {
        QSqlQuery probe(listener);
        standing = probe.exec(QStringLiteral("SELECT 1"));
    }
    if (!standing) {
        listening = false;
        listen();
        if (!listening)
            return;
        missedSaves = true;
    }
    if (!heardStamps.isEmpty() || heardImport)
        readHeard();
    if (!missedSaves && inDoubt.isEmpty() && secondsInDoubt.isEmpty())
        return;
    QString error;
    if (!ready(&error) || !missedSaves)
        return;
    if (readAnew())
        missedSaves = false;
}

// A notification is only a hint: anyone who may connect can send one. The
// stamps it names are read from the table, and only the rows found there
// reach the window, which takes in none it knows already; a stamp of no
// row costs one lookup on the server. An import is believed once the
// dataset's count of imports shows it.
void TeamWorker::notified(const QString &channel, QSqlDriver::NotificationSource,
                          const QVariant &message)
{
    if (channel != TeamDatabase::channel() || !database.isOpen())
        return;
    const QString payload = message.toString();
    bool news = false;
    for (QStringView line : QStringView(payload).tokenize(u'\n'))
        news = TeamDatabase::readPayloadLine(line, database.dataset(), &heardStamps, &heardImport) || news;
    if (news && !hearing->isActive())
        hearing->start();
}

void TeamWorker::readHeard()
{
    // A flood is read in parts, the window's own work between them.
    constexpr qsizetype most = 10000;
    QList<qint64> stamps = heardStamps.first(std::min(most, heardStamps.size()));
    heardStamps.remove(0, stamps.size());
    std::sort(stamps.begin(), stamps.end());
    stamps.erase(std::unique(stamps.begin(), stamps.end()), stamps.end());
    QString error;
    if (!stamps.isEmpty()
        && (!ready(&error)
            || !database.readStamped(stamps, [this](TeamRow &&row) { emit rowChanged(row); }))) {
        // Read again once the server answers (checkListener()).
        heardStamps = stamps + heardStamps;
        afterFailure();
        return;
    }
    if (heardImport && ready(&error)) {
        const qint64 count = database.imports();
        heardImport = count < 0;
        if (count >= 0 && count != knownImports)
            readAnew();
    }
    if (!heardStamps.isEmpty())
        hearing->start();
}
