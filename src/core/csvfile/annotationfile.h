#pragma once

#include "annotationtext.h"
#include "saveresult.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// The annotation file on disk: reading its bytes, its lock and replacing it
// whole. These functions show nothing and keep nothing; the store decides
// what to write and the window what to tell the person about the result.
namespace AnnotationFile {

// The file's bytes as they lie on disk. Missing when there is no file,
// Unreadable when it is not a regular file, is over 512 MiB or cannot be
// read; `bytes` is filled only when the result is Read.
AnnotationText::Status readBytes(const QString &path, QByteArray *bytes);

// Whether an existing file at `path` may be replaced at all: a regular file
// of sane size that somebody may write. A missing file may be created.
bool mayReplace(const QString &path);

// Runs `rewrite` while holding the file's lock; a lock that cannot be taken
// gives the refusal that the save reports instead. Every save takes the lock
// here. While another program holds it, `waiting`, when given, is called
// before each new try, and ends the wait as Locked by returning false.
SaveResult underLock(const QString &path, const std::function<SaveResult()> &rewrite,
                     const std::function<bool()> &waiting = {});

// Replaces the file with `content` once it is written whole beside it and
// synced; on any failure the file stays as it was.
SaveResult writeContent(const QString &path, const QByteArray &content);
// Replaces each of `paths` with its `contents` only once all are written
// whole and synced; on any failure every file stays as it was and none is
// made. `*failedAt` is then the index of the file that could not be written.
SaveResult writeContents(const QStringList &paths, const QList<QByteArray> &contents,
                         qsizetype *failedAt);

// Whether a failure with the system's `error` at `path` came from a full disk
// or quota: the error says so, or the folder has no block or inode left.
bool isDiskFull(const QString &path, int error);

} // namespace AnnotationFile
