// Every picture held belongs to the one shown last or to one of its two
// neighbours. A background decode stores its result only while the entry
// that asked for it is still there (same ticket) and the cache itself still
// exists; so clearing or destroying the cache never has to wait for it. Its
// result is handed on only while it is the one awaited: a large picture
// asked for last.
#include "picturecache.h"

#include "awaiteddelivery.h"

#include "picturefiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>
#include <QList>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

namespace {

struct Entry
{
    QString path;
    QSize area;
    qreal ratio = 1;
    quint64 ticket = 0;
    bool finished = false;
    FileStamp stamp; // taken before the decode began
    QImage image;
};

// Each cache decodes on a pool of its own.
QThreadPool *decodingPool()
{
    static QPointer<QThreadPool> pool;
    if (!pool)
        pool = newBackgroundPool();
    return pool ? pool.data() : QThreadPool::globalInstance();
}

} // namespace

struct PictureCache::State
{
    // A standard mutex, so that a thread checker sees every hand-over.
    mutable std::mutex mutex;
    QList<Entry> entries;
    quint64 lastTicket = 0;
    // The background decode of the picture asked for last, and who waits for it.
    quint64 awaited = 0;
    std::function<void(const QImage &)> ready;

    // The tasks hold the state only weakly: they find it gone and stop.
    static void startDecodes(const std::weak_ptr<State> &weakState, const QList<Entry> &started);
    static void deliver(const std::weak_ptr<State> &weakState, quint64 ticket);
};

void PictureCache::State::startDecodes(const std::weak_ptr<State> &weakState,
                                       const QList<Entry> &started)
{
    for (const Entry &entry : started) {
        decodingPool()->start([weakState, path = entry.path, ticket = entry.ticket,
                               area = entry.area, ratio = entry.ratio] {
            const auto isWanted = [&] {
                const std::shared_ptr<State> owner = weakState.lock();
                if (!owner)
                    return false;
                const std::lock_guard lock(owner->mutex);
                return std::any_of(owner->entries.cbegin(), owner->entries.cend(),
                                   [&](const Entry &entry) { return entry.ticket == ticket; });
            };
            if (!isWanted())
                return;
            const QImage decoded = decode(path, area, ratio);
            const std::shared_ptr<State> owner = weakState.lock();
            if (!owner)
                return;
            const std::lock_guard lock(owner->mutex);
            for (Entry &wanted : owner->entries) {
                if (wanted.ticket == ticket) {
                    wanted.image = decoded;
                    wanted.finished = true;
                }
            }
            if (owner->awaited == ticket)
                deliver(weakState, ticket);
        });
    }
}

void PictureCache::State::deliver(const std::weak_ptr<State> &weakState, quint64 ticket)
{
    deliverAwaited(weakState, ticket, &Entry::image);
}

PictureCache::PictureCache()
    : state(std::make_shared<State>())
{
}

// Running decodes hold the state only weakly: they find it gone and stop. A
// result already on its way finds nobody waiting.
PictureCache::~PictureCache()
{
    clear();
}

QImage PictureCache::picture(const QString &path, const QStringList &neighbours,
                             const QSize &area, qreal ratio)
{
    return *pictureOrLater(path, neighbours, area, ratio, {});
}

std::optional<QImage> PictureCache::pictureOrLater(const QString &path,
                                                   const QStringList &neighbours,
                                                   const QSize &area, qreal ratio,
                                                   std::function<void(const QImage &)> ready)
{
    Q_ASSERT(neighbours.size() <= 2 && !neighbours.contains(path));
    std::optional<Entry> prepared;
    quint64 running = 0;
    {
        const std::lock_guard lock(state->mutex);
        state->awaited = 0;
        state->ready = nullptr;
        state->entries.removeIf([&](const Entry &entry) {
            return entry.area != area || entry.ratio != ratio
                || (entry.path != path && !neighbours.contains(entry.path));
        });
        for (const Entry &entry : std::as_const(state->entries)) {
            if (entry.path == path && entry.finished)
                prepared = entry;
            else if (entry.path == path)
                running = entry.ticket;
        }
    }

    const FileStamp stamp = FileStamp::of(path);
    const bool usable = prepared && !prepared->image.isNull() && prepared->stamp == stamp;
    const bool later = !usable && ready && isLargePicture(path);
    // A failed decode is repeated here, so that its warning comes with the move.
    QImage image;
    if (usable)
        image = prepared->image;
    else if (!later)
        image = decode(path, area, ratio);

    QList<Entry> started;
    {
        const std::lock_guard lock(state->mutex);
        const auto runningEntry = std::find_if(state->entries.begin(), state->entries.end(),
                                               [&](const Entry &entry) {
                                                   return running != 0 && entry.ticket == running;
                                               });
        if (later && runningEntry != state->entries.end()) {
            // Prepared as a neighbour and still on its way, or just arrived.
            state->awaited = running;
            state->ready = std::move(ready);
            if (runningEntry->finished)
                State::deliver(state, running);
        } else {
            state->entries.removeIf([&](const Entry &entry) { return entry.path == path; });
            if (later) {
                state->entries.append({path, area, ratio, ++state->lastTicket, false, stamp, QImage()});
                started.append(state->entries.constLast());
                state->awaited = state->lastTicket;
                state->ready = std::move(ready);
            } else if (!image.isNull()) {
                state->entries.append({path, area, ratio, ++state->lastTicket, true, stamp, image});
            }
        }
        for (const QString &neighbour : neighbours) {
            const bool held = std::any_of(state->entries.cbegin(), state->entries.cend(),
                                          [&](const Entry &entry) { return entry.path == neighbour; });
            if (held)
                continue;
            state->entries.append({neighbour, area, ratio, ++state->lastTicket, false,
                                   FileStamp::of(neighbour), QImage()});
            started.append(state->entries.constLast());
        }
    }

    State::startDecodes(state, started);
    if (later)
        return std::nullopt;
    return image;
}

void PictureCache::clear()
{
    const std::lock_guard lock(state->mutex);
    state->entries.clear();
    state->awaited = 0;
    state->ready = nullptr;
}

bool PictureCache::hasPrepared(const QString &path) const
{
    const std::lock_guard lock(state->mutex);
    return std::any_of(state->entries.cbegin(), state->entries.cend(),
                       [&](const Entry &entry) { return entry.path == path && entry.finished; });
}

QImage PictureCache::decode(const QString &path, const QSize &area, qreal ratio)
{
    std::shared_lock limitLock(allocationLimitGuard());
    QImageReader reader(path);
    // Shown the way the camera stored its orientation.
    reader.setAutoTransform(true);
    const QSize target = (QSizeF(area) * ratio).toSize();
    const auto fit = [&](const QSize &upright) {
        const QSize fitted = upright.scaled(target, Qt::KeepAspectRatio);
        return QSize(qMax(fitted.width(), 1), qMax(fitted.height(), 1));
    };

    // Asking the reader for the shown size lets the JPEG decoder skip most of
    // the work for a large photo. The reader scales before it turns.
    QSize shown;
    QSize scaled;
    const QSize stored = reader.size();
    if (stored.isValid()) {
        const bool turned =
            reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
        shown = fit(turned ? stored.transposed() : stored);
        scaled = turned ? shown.transposed() : shown;
        reader.setScaledSize(scaled);
    }
    QImage image = reader.read();
    limitLock.unlock();
    if (image.isNull() && scaled.isValid())
        image = readReducedBeyondLimit(path, scaled);
    if (image.isNull())
        return image;
    if (!shown.isValid())
        shown = fit(image.size());
    if (image.size() != shown)
        image = image.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    image.setDevicePixelRatio(ratio);
    return image;
}
