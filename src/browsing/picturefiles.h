#pragma once

#include <QString>

class QThreadPool;

// What the picture caches share: telling a changed file from the one they
// decoded, and the threads they decode on.

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
