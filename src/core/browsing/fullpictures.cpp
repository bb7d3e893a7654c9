// Every picture held belongs to the file asked for last or to one of the two
// files beside it in its folder's listing. A background task stores its
// result only while the entry that asked for it is still there (same ticket)
// and the pictures themselves still exist; so clearing or destroying them
// never has to wait for it. The listing only tells which files to prepare: a
// file it misses, or a guess it gets wrong, costs a decode on the spot or a
// decode for nothing, never a wrong picture.
#include "fullpictures.h"

#include "awaiteddelivery.h"

#include "picturefiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

namespace {

struct Entry
{
    enum Phase { Queued, Decoding, Finished };

    QString path;
    quint64 ticket = 0;
    Phase phase = Queued;
    FileStamp stamp; // taken before the decode began
    FullPicture picture;
};

// Each cache decodes on a pool of its own.
QThreadPool *preparingPool()
{
    static QPointer<QThreadPool> pool;
    if (!pool)
        pool = newBackgroundPool();
    return pool ? pool.data() : QThreadPool::globalInstance();
}

} // namespace

struct FullPictures::State
{
    // A standard mutex, so that a thread checker sees every hand-over.
    mutable std::mutex mutex;
    std::condition_variable decoded;
    QList<Entry> entries;
    quint64 lastTicket = 0;
    // The background decode of the large picture asked for last, and who
    // waits for it.
    quint64 awaited = 0;
    std::function<void(const FullPicture &)> ready;

    // Queues entries for the paths not held yet; the caller starts them.
    QList<quint64> queue(const QStringList &paths)
    {
        QList<quint64> tickets;
        for (const QString &path : paths) {
            const bool held = std::any_of(entries.cbegin(), entries.cend(),
                                          [&](const Entry &entry) { return entry.path == path; });
            if (held)
                continue;
            entries.append({path, ++lastTicket, Entry::Queued, FileStamp::of(path), FullPicture()});
            tickets.append(lastTicket);
        }
        return tickets;
    }

    // The tasks hold the state only weakly: they find it gone and stop.
    static void startDecodes(const std::weak_ptr<State> &weakState, const QList<quint64> &tickets);
    static void deliver(const std::weak_ptr<State> &weakState, quint64 ticket);
};

void FullPictures::State::startDecodes(const std::weak_ptr<State> &weakState,
                                       const QList<quint64> &tickets)
{
    for (const quint64 ticket : tickets) {
        preparingPool()->start([weakState, ticket] {
            QString path;
            {
                const std::shared_ptr<State> owner = weakState.lock();
                if (!owner)
                    return;
                const std::lock_guard lock(owner->mutex);
                const auto wanted = std::find_if(owner->entries.begin(), owner->entries.end(),
                                                 [&](const Entry &entry) {
                                                     return entry.ticket == ticket;
                                                 });
                if (wanted == owner->entries.end())
                    return;
                wanted->phase = Entry::Decoding;
                path = wanted->path;
            }
            const FullPicture picture = FullPictures::decode(path);
            const std::shared_ptr<State> owner = weakState.lock();
            if (!owner)
                return;
            {
                const std::lock_guard lock(owner->mutex);
                for (Entry &entry : owner->entries) {
                    if (entry.ticket == ticket) {
                        entry.picture = picture;
                        entry.phase = Entry::Finished;
                    }
                }
                if (owner->awaited == ticket)
                    deliver(weakState, ticket);
            }
            owner->decoded.notify_all();
        });
    }
}

void FullPictures::State::deliver(const std::weak_ptr<State> &weakState, quint64 ticket)
{
    deliverAwaited(weakState, ticket, &Entry::picture);
}

FullPictures::FullPictures()
    : state(std::make_shared<State>())
{
}

// Running tasks hold the state only weakly: they find it gone and stop. A
// result already on its way finds nobody waiting.
FullPictures::~FullPictures()
{
    clear();
}

FullPicture FullPictures::picture(const QString &path, const QStringList &neighbours)
{
    return *pictureOrLater(path, neighbours, {});
}

std::optional<FullPicture> FullPictures::pictureOrLater(const QString &path,
                                                       const QStringList &neighbours,
                                                       std::function<void(const FullPicture &)> ready)
{
    const FileStamp stamp = FileStamp::of(path);
    const bool large = ready && isLargePicture(path);
    std::optional<FullPicture> prepared;
    quint64 running = 0;
    {
        std::unique_lock lock(state->mutex);
        state->awaited = 0;
        state->ready = nullptr;
        // Dropped first, so that no more than three pictures are ever held.
        state->entries.removeIf([&](const Entry &entry) {
            return entry.path != path && !neighbours.contains(entry.path);
        });

        const auto find = [&] {
            return std::find_if(state->entries.begin(), state->entries.end(),
                                [&](const Entry &entry) { return entry.path == path; });
        };
        auto held = find();
        if (large && held != state->entries.end() && held->phase != Entry::Finished) {
            // Prepared as a neighbour and still on its way: awaited, not waited for.
            running = held->ticket;
        } else if (held != state->entries.end() && held->phase == Entry::Decoding) {
            // Half done already: sooner there than decoded anew here.
            const quint64 ticket = held->ticket;
            state->decoded.wait(lock, [&] {
                return std::none_of(state->entries.cbegin(), state->entries.cend(),
                                    [&](const Entry &entry) {
                                        return entry.ticket == ticket
                                            && entry.phase == Entry::Decoding;
                                    });
            });
            held = find();
        }
        // A failed decode is repeated, so that a file mended meanwhile shows.
        if (running == 0 && held != state->entries.end()) {
            if (held->phase == Entry::Finished && !held->picture.isNull() && held->stamp == stamp)
                prepared = held->picture;
            else
                state->entries.erase(held);
        }
    }

    const bool later = large && !prepared;
    const FullPicture picture = prepared ? *prepared : later ? FullPicture() : decode(path);

    QList<quint64> tickets;
    {
        const std::lock_guard lock(state->mutex);
        // Another call may not have come in between: the window asks on one
        // thread only.
        const auto runningEntry = std::find_if(state->entries.begin(), state->entries.end(),
                                               [&](const Entry &entry) {
                                                   return running != 0 && entry.ticket == running;
                                               });
        if (later && runningEntry != state->entries.end()) {
            state->awaited = running;
            if (runningEntry->phase == Entry::Finished)
                State::deliver(state, running);
        } else {
            // The entry is replaced by the finished picture, or by the decode
            // that makes it.
            state->entries.removeIf([&](const Entry &entry) { return entry.path == path; });
            if (later) {
                state->entries.append({path, ++state->lastTicket, Entry::Queued, stamp, FullPicture()});
                tickets.append(state->lastTicket);
                state->awaited = state->lastTicket;
            } else if (!picture.isNull()) {
                state->entries.append({path, ++state->lastTicket, Entry::Finished, stamp, picture});
            }
        }
        if (later)
            state->ready = std::move(ready);
        tickets += state->queue(neighbours);
    }
    // Started once the event loop runs again, after the picture was drawn:
    // until then the window has every core to itself.
    if (!tickets.isEmpty()) {
        const std::weak_ptr<State> weakState = state;
        QTimer::singleShot(0, preparingPool(), [weakState, tickets] {
            State::startDecodes(weakState, tickets);
        });
    }
    if (later)
        return std::nullopt;
    return picture;
}

void FullPictures::clear()
{
    {
        const std::lock_guard lock(state->mutex);
        state->entries.clear();
        state->awaited = 0;
        state->ready = nullptr;
    }
    state->decoded.notify_all();
}

bool FullPictures::hasPrepared(const QString &path) const
{
    const std::lock_guard lock(state->mutex);
    return std::any_of(state->entries.cbegin(), state->entries.cend(), [&](const Entry &entry) {
        return entry.path == path && entry.phase == Entry::Finished;
    });
}

int FullPictures::heldCount() const
{
    const std::lock_guard lock(state->mutex);
    return int(state->entries.size());
}

FullPicture FullPictures::decode(const QString &path)
{
    std::shared_lock limitLock(allocationLimitGuard());
    QImageReader reader(path);
    // Shown the way the camera stored its orientation.
    reader.setAutoTransform(true);

    // A picture beyond the reader's limit would not decode at all; it is read
    // reduced instead. The JPEG decoder reduces in steps of eighths, rounding
    // up to the next step, without ever holding the whole; 60 % of the limit
    // leaves room for that step.
    const QSize stored = reader.size();
    const qint64 limit = qint64(QImageReader::allocationLimit()) * 1024 * 1024;
    QSize scaled;
    if (stored.isValid() && limit > 0) {
        const qint64 budget = limit / 4 * 6 / 10;
        const qint64 pixels = qint64(stored.width()) * stored.height();
        if (pixels > budget) {
            const double shrink = std::sqrt(double(budget) / double(pixels));
            scaled = QSize(qMax(1, int(stored.width() * shrink)),
                           qMax(1, int(stored.height() * shrink)));
            reader.setScaledSize(scaled);
        }
    }

    FullPicture picture;
    picture.image = reader.read();
    limitLock.unlock();
    // Refused because the reader cannot reduce it and its whole decode is
    // beyond the limit (a 16-bit or palette PNG): read whole, then reduced.
    if (picture.image.isNull() && stored.isValid())
        picture.image = readReducedBeyondLimit(path, scaled.isValid() ? scaled : stored);
    if (picture.image.isNull())
        return picture;
    picture.reduced = scaled.isValid();
    // The view draws straight from 32-bit pixels, a part at a time.
    const QImage::Format format = picture.image.hasAlphaChannel()
                                      ? QImage::Format_ARGB32_Premultiplied
                                      : QImage::Format_RGB32;
    if (picture.image.format() != format)
        picture.image.convertTo(format);
    const QImage *last = &picture.image;
    while (std::max(last->width(), last->height()) >= 512) {
        picture.halves.append(halved(*last));
        last = &picture.halves.constLast();
    }
    return picture;
}

QImage FullPictures::halved(const QImage &image)
{
    Q_ASSERT(image.depth() == 32);
    const int width = (image.width() + 1) / 2;
    const int height = (image.height() + 1) / 2;
    QImage half(width, height, image.format());
    for (int y = 0; y < height; ++y) {
        const auto *upper = reinterpret_cast<const QRgb *>(image.constScanLine(2 * y));
        const auto *lower = reinterpret_cast<const QRgb *>(
            image.constScanLine(std::min(2 * y + 1, image.height() - 1)));
        auto *line = reinterpret_cast<QRgb *>(half.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int left = 2 * x;
            const int right = std::min(left + 1, image.width() - 1);
            const QRgb a = upper[left], b = upper[right], c = lower[left], d = lower[right];
            // Two channels at a time, in the even and in the odd bytes; the
            // sums of four bytes fit in the ten bits between.
            const quint32 evens = ((a & 0xff00ff) + (b & 0xff00ff) + (c & 0xff00ff)
                                   + (d & 0xff00ff) + 0x20002) >> 2;
            const quint32 odds = (((a >> 8) & 0xff00ff) + ((b >> 8) & 0xff00ff)
                                  + ((c >> 8) & 0xff00ff) + ((d >> 8) & 0xff00ff) + 0x20002)
                >> 2;
            line[x] = (evens & 0xff00ff) | ((odds & 0xff00ff) << 8);
        }
    }
    return half;
}
