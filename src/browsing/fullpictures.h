#pragma once

#include <QImage>
#include <QString>

#include <memory>

// Pictures at their full resolution, upright, for looking at them closely.
// While one picture is looked at, the files beside it in its folder (by the
// folder's listing, made in the background) are decoded on a thread pool, so
// that a step to one of them finds it ready. At most three pictures are held:
// the one asked for last and the two prepared beside it.
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
    // and now. Then starts preparing the files beside it and drops every other
    // picture.
    QImage picture(const QString &path);

    // Drops every picture and all work still pending.
    void clear();

    // True when the finished decode of `path` is held.
    bool hasPrepared(const QString &path) const;
    // How many pictures are held, finished or being decoded.
    int heldCount() const;

    // One decode, the same on the pool as in picture(): 32-bit pixels, and no
    // more of them than the image reader's allocation limit lets one picture
    // have (a larger file is read scaled down to that).
    static QImage decode(const QString &path);

private:
    struct State;
    std::shared_ptr<State> state;
};
