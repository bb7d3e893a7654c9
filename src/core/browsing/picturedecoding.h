#pragma once

#include "picturefiles.h"

#include <QCoreApplication>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

// The machinery that both picture caches are made of: the pictures held, each
// under a ticket of its own; their decodes, here and now or on a pool of
// threads; and the hand-over of a large picture decoded in the background to
// whoever waits for it. Every picture held belongs to the file asked for last
// or to one of its neighbours (at most two), so at most three are held.
//
// A background decode stores its result only while the entry that asked for
// it is still there (same ticket) and the machinery itself still exists; so
// clearing or destroying it never has to wait for one. Its result is handed
// on only while it is the one awaited: a large picture asked for last. Used
// from one thread, the application's; only the decodes run elsewhere.
// `Picture` is a value with isNull(), null when the file cannot be decoded.
template <typename Picture>
class PictureDecoding
{
public:
    using Decode = std::function<Picture(const QString &path)>;
    using Ready = std::function<void(const Picture &)>;

    struct Behaviour
    {
        // A decode of the picture asked for that is running already is waited
        // for: sooner there than decoded anew here.
        bool waitsForRunningDecode = false;
        // Background decodes start once the event loop runs again, after the
        // picture asked for is drawn: until then the window has every core.
        bool startsAfterEvents = false;
    };

    PictureDecoding(Behaviour behaviour, Decode decode)
        : state(std::make_shared<State>())
    {
        state->behaviour = behaviour;
        state->decode = std::move(decode);
    }
    // Running decodes hold the state only weakly: they find it gone and
    // stop. A result already on its way finds nobody waiting.
    ~PictureDecoding() { clear(); }
    PictureDecoding(const PictureDecoding &) = delete;
    PictureDecoding &operator=(const PictureDecoding &) = delete;

    // Drops every picture and decodes with `decode` from now on.
    void restart(Decode decode)
    {
        clear();
        const std::lock_guard lock(state->mutex);
        state->decode = std::move(decode);
    }

    // The picture of `path`: one prepared in the background when its decode
    // has finished and the file's stamp is the one it was decoded from, else
    // decoded here; but a large picture (isLargePicture(), when `ready` is
    // given) that is not prepared is decoded in the background, nullopt is
    // returned and `ready` called with it from the event loop, unless another
    // call or clear() comes first. Then prepares `neighbours` and drops every
    // other picture.
    std::optional<Picture> pictureOrLater(const QString &path, const QStringList &neighbours,
                                          Ready ready)
    {
        const FileStamp stamp = FileStamp::of(path);
        std::optional<bool> largeKnown;
        const auto large = [&] {
            if (!largeKnown)
                largeKnown = ready && isLargePicture(path);
            return *largeKnown;
        };
        quint64 running = 0;
        const std::optional<Picture> prepared = takePrepared(path, neighbours, stamp, large, &running);
        const bool later = !prepared && large();
        // A failed decode is repeated here, so that its warning comes with the
        // move and a file mended meanwhile shows.
        const Picture picture = prepared ? *prepared : later ? Picture() : decodeHere(path);

        QList<quint64> tickets;
        {
            const std::lock_guard lock(state->mutex);
            const auto runningEntry = std::find_if(state->entries.begin(), state->entries.end(),
                                                   [&](const Entry &entry) {
                                                       return running != 0 && entry.ticket == running;
                                                   });
            if (later && runningEntry != state->entries.end()) {
                // Prepared as a neighbour and still on its way, or just arrived.
                state->awaited = running;
                if (runningEntry->phase == Entry::Finished)
                    deliver(state, running);
            } else {
                // Replaced by the finished picture, or by the decode that makes it.
                state->entries.removeIf([&](const Entry &entry) { return entry.path == path; });
                if (later) {
                    state->entries.append({path, ++state->lastTicket, Entry::Queued, stamp, Picture()});
                    tickets.append(state->lastTicket);
                    state->awaited = state->lastTicket;
                } else if (!picture.isNull()) {
                    state->entries.append({path, ++state->lastTicket, Entry::Finished, stamp, picture});
                }
            }
            if (later)
                state->ready = std::move(ready);
            tickets += queue(neighbours);
        }
        start(tickets);
        if (later)
            return std::nullopt;
        return picture;
    }

    // Drops every picture and all work still pending.
    void clear()
    {
        {
            const std::lock_guard lock(state->mutex);
            state->entries.clear();
            state->awaited = 0;
            state->ready = nullptr;
        }
        state->decoded.notify_all();
    }

    // True when the finished decode of `path` is held, whatever it found.
    bool hasPrepared(const QString &path) const
    {
        const std::lock_guard lock(state->mutex);
        return std::any_of(state->entries.cbegin(), state->entries.cend(), [&](const Entry &entry) {
            return entry.path == path && entry.phase == Entry::Finished;
        });
    }

    // How many pictures are held, finished or being decoded.
    int heldCount() const
    {
        const std::lock_guard lock(state->mutex);
        return int(state->entries.size());
    }

private:
    struct Entry
    {
        enum Phase { Queued, Decoding, Finished };

        QString path;
        quint64 ticket = 0;
        Phase phase = Queued;
        FileStamp stamp; // taken before the decode began
        Picture picture;
    };

    struct State
    {
        Behaviour behaviour;
        Decode decode;
        // A standard mutex, so that a thread checker sees every hand-over.
        mutable std::mutex mutex;
        std::condition_variable decoded;
        QList<Entry> entries;
        quint64 lastTicket = 0;
        // The background decode of the large picture asked for last, and who
        // waits for it.
        quint64 awaited = 0;
        Ready ready;
    };

    // Each kind of picture decodes on a pool of its own.
    static QThreadPool *pool()
    {
        static QPointer<QThreadPool> own;
        if (!own)
            own = newBackgroundPool();
        return own ? own.data() : QThreadPool::globalInstance();
    }

    Picture decodeHere(const QString &path) const
    {
        Decode decode;
        {
            const std::lock_guard lock(state->mutex);
            decode = state->decode;
        }
        return decode(path);
    }

    // Drops the pictures of other files than `path` and `neighbours` first,
    // so that no more than three are ever held; then the finished picture of
    // `path` when it is still good. A large picture still on its way is left
    // to be awaited (`*running`); any other entry of `path` is dropped.
    template <typename Large>
    std::optional<Picture> takePrepared(const QString &path, const QStringList &neighbours,
                                        const FileStamp &stamp, Large &large, quint64 *running)
    {
        std::unique_lock lock(state->mutex);
        state->awaited = 0;
        state->ready = nullptr;
        state->entries.removeIf([&](const Entry &entry) {
            return entry.path != path && !neighbours.contains(entry.path);
        });
        const auto find = [&] {
            return std::find_if(state->entries.begin(), state->entries.end(),
                                [&](const Entry &entry) { return entry.path == path; });
        };
        auto held = find();
        if (held != state->entries.end() && held->phase != Entry::Finished && large()) {
            *running = held->ticket;
            return std::nullopt;
        }
        if (held != state->entries.end() && held->phase == Entry::Decoding
            && state->behaviour.waitsForRunningDecode) {
            const quint64 ticket = held->ticket;
            state->decoded.wait(lock, [&] {
                return std::none_of(state->entries.cbegin(), state->entries.cend(),
                                    [&](const Entry &entry) {
                                        return entry.ticket == ticket && entry.phase == Entry::Decoding;
                                    });
            });
            held = find();
        }
        if (held == state->entries.end())
            return std::nullopt;
        if (held->phase == Entry::Finished && !held->picture.isNull() && held->stamp == stamp)
            return held->picture;
        state->entries.erase(held);
        return std::nullopt;
    }

    // Entries for the paths not held yet; the caller starts them.
    QList<quint64> queue(const QStringList &paths)
    {
        QList<quint64> tickets;
        for (const QString &path : paths) {
            const bool held = std::any_of(state->entries.cbegin(), state->entries.cend(),
                                          [&](const Entry &entry) { return entry.path == path; });
            if (held)
                continue;
            state->entries.append({path, ++state->lastTicket, Entry::Queued, FileStamp::of(path), Picture()});
            tickets.append(state->lastTicket);
        }
        return tickets;
    }

    void start(const QList<quint64> &tickets)
    {
        if (tickets.isEmpty())
            return;
        const std::weak_ptr<State> weakState = state;
        if (state->behaviour.startsAfterEvents)
            QTimer::singleShot(0, pool(), [weakState, tickets] { startDecodes(weakState, tickets); });
        else
            startDecodes(weakState, tickets);
    }

    // The tasks hold the state only weakly: they find it gone and stop.
    static void startDecodes(const std::weak_ptr<State> &weakState, const QList<quint64> &tickets)
    {
        for (const quint64 ticket : tickets)
            pool()->start([weakState, ticket] { decodeInBackground(weakState, ticket); });
    }

    static void decodeInBackground(const std::weak_ptr<State> &weakState, quint64 ticket)
    {
        QString path;
        Decode decode;
        {
            const std::shared_ptr<State> owner = weakState.lock();
            if (!owner)
                return;
            const std::lock_guard lock(owner->mutex);
            const auto wanted = std::find_if(owner->entries.begin(), owner->entries.end(),
                                             [&](const Entry &entry) { return entry.ticket == ticket; });
            if (wanted == owner->entries.end())
                return;
            wanted->phase = Entry::Decoding;
            path = wanted->path;
            decode = owner->decode;
        }
        const Picture picture = decode(path);
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
    }

    // Posted to the application's thread: what came in between (another
    // picture asked for, the pictures cleared or gone) has reset `awaited` by
    // then, and nobody is called.
    static void deliver(const std::weak_ptr<State> &weakState, quint64 ticket)
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), [weakState, ticket] {
            const std::shared_ptr<State> owner = weakState.lock();
            if (!owner)
                return;
            Ready ready;
            Picture delivered;
            {
                const std::lock_guard lock(owner->mutex);
                if (owner->awaited != ticket)
                    return;
                owner->awaited = 0;
                ready = std::exchange(owner->ready, nullptr);
                for (const Entry &entry : std::as_const(owner->entries)) {
                    if (entry.ticket == ticket)
                        delivered = entry.picture;
                }
            }
            if (ready)
                ready(delivered);
        }, Qt::QueuedConnection);
    }

    std::shared_ptr<State> state;
};
