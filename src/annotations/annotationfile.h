#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// What a read of the annotation file found. The store keeps an index of the
// last read and reads again only when the file on disk changed.
struct AnnotationText
{
    enum Status { Missing, Unreadable, Read };

    Status status = Missing;
    QStringList lines;
    bool isText = true;  // UTF-8 without a NUL byte
};

// The annotation file on disk: reading its bytes, its lock and replacing it
// whole. These functions show nothing and keep nothing; the store decides
// what to write and the window what to tell the person about the result.
namespace AnnotationFile {

// The file's bytes as they lie on disk. Missing when there is no file,
// Unreadable when it is not a regular file, is over 512 MiB or cannot be
// read; `bytes` is filled only when the result is Read.
AnnotationText::Status readBytes(const QString &path, QByteArray *bytes);

enum class SaveResult {
    Saved,
    NameNotStorable,      // the file name holds "," or a line end, or begins with '"'
    CannotOpen,           // the file cannot be read, created or replaced
    NotText,              // the existing file is not UTF-8 text
    ForeignHeader,        // the first line is not the catalogue's header row
    WriteFailed,          // writing or committing the new content failed
    Locked,               // another program is saving into the file
    CannotCreateInFolder, // the folder does not let a new file be created
    DiskFull,             // no room or quota left for the lock or the new content
};

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

// Whether a failure with the system's `error` at `path` came from a full disk
// or quota: the error says so, or the folder has no block or inode left.
bool isDiskFull(const QString &path, int error);

} // namespace AnnotationFile
