#pragma once

#include "annotationfile.h"

#include <QString>
#include <QStringList>

// The annotation file's rules written plainly, on whole lines, for tests and
// benchmarks to compare the store with. Every call reads the file as it is
// on disk; nothing is kept between calls.
namespace FileOracle {

// One read of the file: its status, whether it is UTF-8 text without a NUL
// byte, and its lines as the readers split them.
AnnotationText read(const QString &path);

// Writes the row of `fileName` with a "1" for each entry of `labels` found in
// `annotations`: the first data row of that name is replaced, or the row is
// added, and the data rows are sorted. Only a regular file that begins with
// the catalogue's header row, or holds no line at all, is rewritten, through
// AnnotationFile::writeContent(), under the file's lock. On success
// `written`, when given, receives the lines now in the file.
SaveResult saveRow(const QString &path, const QString &fileName,
                                   const QStringList &labels, const QStringList &annotations,
                                   QStringList *written = nullptr);

// The same rewrite for a caller that already holds the file's lock.
SaveResult rewriteRow(const QString &path, const QString &fileName,
                                      const QStringList &labels,
                                      const QStringList &annotations,
                                      QStringList *written = nullptr);

} // namespace FileOracle
