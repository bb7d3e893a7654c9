#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// What one read of the annotation file found. Nothing of it is kept between
// operations: every operation reads the file as it is on disk at that moment.
struct AnnotationText
{
    enum Status { Missing, Unreadable, Read };

    Status status = Missing;
    QStringList lines;
    bool isText = true;  // UTF-8 without a NUL byte
};

// The annotation file on disk. These functions show nothing; the window
// decides what to tell the person about the result.
namespace AnnotationFile {

AnnotationText read(const QString &path);

// The file's bytes as they lie on disk, for a reader that splits them itself.
// Missing and Unreadable by the same rules as read(); `bytes` is filled only
// when the result is Read.
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
    RowChanged,           // the row is no longer the one a put-back expects
};

// Writes the row of `fileName` with a "1" for each entry of `labels` found in
// `annotations`: the first data row of that name is replaced, or the row is
// added, and the data rows are sorted. Only a regular file that begins with
// the catalogue's header row, or holds no line at all, is rewritten. The new
// content replaces the old file only once it has been written whole; on any
// failure the file stays as it was. Holds the file's lock throughout, so that
// saves of other processes neither interleave nor get lost. On success
// `written`, when given, receives the lines now in the file.
SaveResult saveRow(const QString &path, const QString &fileName, const QStringList &labels,
                   const QStringList &annotations, QStringList *written = nullptr);

// The same rewrite for a caller that already holds the file's lock.
SaveResult rewriteRow(const QString &path, const QString &fileName, const QStringList &labels,
                      const QStringList &annotations, QStringList *written = nullptr);

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
