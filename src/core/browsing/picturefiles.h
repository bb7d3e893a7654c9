#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <shared_mutex>

class QThreadPool;

// What the picture caches share: telling a changed file from the one they
// decoded, the threads they decode on, which pictures are decoded in the
// background also when shown, and reading pictures too large to decode whole.

// What tells that a file changed on disk since it was decoded.
struct FileStamp
{
    qint64 size = -1;
    qint64 modified = 0;

    static FileStamp of(const QString &path);
    bool operator==(const FileStamp &other) const
    {
        return size == other.size && modified == other.modified;
    }
};

// A new pool owned by the application rather than by a window: destroying a
// pool waits for its running tasks, which closing a window must not do. One
// core is left to the window itself. Null before the application exists.
QThreadPool *newBackgroundPool();

// Whether the file's header says the picture has more than 50 megapixels:
// its decode takes seconds, so it is never made while the window waits.
bool isLargePicture(const QString &path);

// The picture at `path`, upright, at `scaledSize` (in the file's own
// orientation, as QImageReader::setScaledSize() takes it), for a file that the
// reader refused because its whole decode is beyond the reader's allocation
// limit and the reader cannot decode it reduced (a 16-bit or palette PNG, a
// BMP). It is decoded whole, one such decode at a time, if that takes at most
// four times the memory the limit allows, and reduced a band of rows at a
// time, so that no 32-bit copy of the whole is made. Null when it is larger
// still, or when the reader would not have refused it.
QImage readReducedBeyondLimit(const QString &path, const QSize &scaledSize);

// The image reader's allocation limit is one for the whole process. Every
// decode holds this shared while it reads the limit or decodes under it;
// readReducedBeyondLimit() holds it alone while it raises the limit, so that
// no other decode reads a picture whole that the usual limit would refuse.
std::shared_mutex &allocationLimitGuard();
