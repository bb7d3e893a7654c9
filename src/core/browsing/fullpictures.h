#pragma once

#include <QImage>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// A picture with every pixel of its file, upright, and the same picture
// halved again and again for drawing it reduced: each pixel of a half is the
// mean of four of the one before. The halves end below 512 pixels a side and
// hold a third as many pixels as the picture itself.
struct FullPicture
{
    QImage image;
    QList<QImage> halves;
    // Read with fewer pixels than the file has: the whole would be beyond the
    // image reader's allocation limit.
    bool reduced = false;

    bool isNull() const { return image.isNull(); }
};

// Pictures at their full resolution, for looking at them closely.
// While one picture is looked at, the files beside it in the session's list
// (the caller names them) are decoded on a thread pool, so that a step to
// one of them finds it ready. At most three pictures are held: the one asked
// for last and the two prepared beside it.
//
// Dropped work is never waited for: a decode that is running when the
// pictures are cleared or destroyed finishes on its own and its result is
// thrown away.
class FullPictures
{
public:
    FullPictures();
    ~FullPictures();
    FullPictures(const FullPictures &) = delete;
    FullPictures &operator=(const FullPictures &) = delete;

    // The picture of the file at `path` (a native path); null when it cannot
    // be decoded. A picture prepared in the background is used when the file's
    // size and modification time are still those it was decoded from, and one
    // whose decode is running is waited for; otherwise the file is decoded here
    // and now. Then starts preparing `neighbours` (native paths, the first
    // one first; at most two) and drops every other picture.
    FullPicture picture(const QString &path, const QStringList &neighbours);
    // The same, but a file whose header says it has more than 50 megapixels
    // (isLargePicture()) and whose picture is not prepared is decoded in the
    // background: nullopt is returned at once, and `ready` is called with the
    // picture (null when the file cannot be decoded) from the application's
    // event loop when the decode ends. Any later call, clear() or the end of
    // the pictures drops that result: `ready` is then never called.
    std::optional<FullPicture> pictureOrLater(const QString &path, const QStringList &neighbours,
                                              std::function<void(const FullPicture &)> ready);

    // Drops every picture and all work still pending.
    void clear();

    // True when the finished decode of `path` is held.
    bool hasPrepared(const QString &path) const;
    // How many pictures are held, finished or being decoded.
    int heldCount() const;

    // One decode, the same on the pool as in picture(): 32-bit pixels, and no
    // more of them than the image reader's allocation limit lets one picture
    // have (a larger file is read scaled down to that); then the halves.
    static FullPicture decode(const QString &path);

    // Half the width and height of a 32-bit image, rounded up: an odd last
    // row or column is averaged with itself, so no pixel is lost.
    static QImage halved(const QImage &image);

private:
    struct State;
    std::shared_ptr<State> state;
};
