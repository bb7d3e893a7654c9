// Every picture held belongs to the one shown last or to one of its two
// neighbours. A background decode stores its result only while the entry
// that asked for it is still there (same ticket) and the cache itself still
// exists; so clearing or destroying the cache never has to wait for it.
#include "picturecache.h"

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
};

PictureCache::PictureCache()
    : state(std::make_shared<State>())
{
}

// Running decodes hold the state only weakly: they find it gone and stop.
PictureCache::~PictureCache() = default;

QImage PictureCache::picture(const QString &path, const QStringList &neighbours,
                             const QSize &area, qreal ratio)
{
    Q_ASSERT(neighbours.size() <= 2 && !neighbours.contains(path));
    std::optional<Entry> prepared;
    {
        const std::lock_guard lock(state->mutex);
        state->entries.removeIf([&](const Entry &entry) {
            return entry.area != area || entry.ratio != ratio
                || (entry.path != path && !neighbours.contains(entry.path));
        });
        for (const Entry &entry : std::as_const(state->entries)) {
            if (entry.path == path && entry.finished)
                prepared = entry;
        }
    }

    const FileStamp stamp = FileStamp::of(path);
    // A failed decode is repeated here, so that its warning comes with the move.
    QImage image = prepared && !prepared->image.isNull() && prepared->stamp == stamp
                       ? prepared->image
                       : decode(path, area, ratio);

    QList<Entry> started;
    {
        const std::lock_guard lock(state->mutex);
        state->entries.removeIf([&](const Entry &entry) { return entry.path == path; });
        if (!image.isNull())
            state->entries.append({path, area, ratio, ++state->lastTicket, true, stamp, image});
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

    const std::weak_ptr<State> weakState = state;
    for (const Entry &entry : std::as_const(started)) {
        decodingPool()->start([weakState, path = entry.path, ticket = entry.ticket, area, ratio] {
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
        });
    }
    return image;
}

void PictureCache::clear()
{
    const std::lock_guard lock(state->mutex);
    state->entries.clear();
}

bool PictureCache::hasPrepared(const QString &path) const
{
    const std::lock_guard lock(state->mutex);
    return std::any_of(state->entries.cbegin(), state->entries.cend(),
                       [&](const Entry &entry) { return entry.path == path && entry.finished; });
}

QImage PictureCache::decode(const QString &path, const QSize &area, qreal ratio)
{
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
    const QSize stored = reader.size();
    if (stored.isValid()) {
        const bool turned =
            reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
        shown = fit(turned ? stored.transposed() : stored);
        reader.setScaledSize(turned ? shown.transposed() : shown);
    }
    QImage image = reader.read();
    if (image.isNull())
        return image;
    if (!shown.isValid())
        shown = fit(image.size());
    if (image.size() != shown)
        image = image.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    image.setDevicePixelRatio(ratio);
    return image;
}
