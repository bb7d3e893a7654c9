#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// Pictures decoded at the size they are shown. While one picture is shown,
// its neighbours are decoded on a thread pool, so that a move to one of them
// finds it ready. At most three pictures are held: the one shown last and
// the two being prepared around it.
//
// Dropped work is never waited for: a decode that is running when the cache
// is cleared or destroyed finishes on its own and its result is thrown away.
// The cache is used from one thread, the application's.
class PictureCache
{
public:
    PictureCache();
    ~PictureCache();
    PictureCache(const PictureCache &) = delete;
    PictureCache &operator=(const PictureCache &) = delete;

    // The picture of the file at `path`, upright, fitted into `area`
    // (device-independent pixels) at `ratio` device pixels per pixel and
    // carrying that ratio; null when the file cannot be decoded. A picture
    // prepared in the background is used only when its decode has finished
    // and the file's size and modification time are those it was decoded
    // from; otherwise the file is decoded here and now.
    // Then starts preparing `neighbours` (at most two) and drops every other
    // picture.
    QImage picture(const QString &path, const QStringList &neighbours, const QSize &area,
                   qreal ratio);
    // The same, but a file whose header says it has more than 50 megapixels
    // (isLargePicture()) and whose picture is not prepared is decoded in the
    // background: nullopt is returned at once, and `ready` is called with the
    // picture (null when the file cannot be decoded) from the application's
    // event loop when the decode ends. Any later call, clear() or the cache's
    // end drops that result: `ready` is then never called.
    std::optional<QImage> pictureOrLater(const QString &path, const QStringList &neighbours,
                                         const QSize &area, qreal ratio,
                                         std::function<void(const QImage &)> ready);

    // Drops every picture and all work still pending.
    void clear();

    // True when the finished decode of `path` is held: the picture shown last,
    // or a neighbour whose background decode has ended, whatever it found.
    bool hasPrepared(const QString &path) const;

    // One decode, the same on the pool as in picture().
    static QImage decode(const QString &path, const QSize &area, qreal ratio);

private:
    struct State;
    std::shared_ptr<State> state;
};
