#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QStringView>

// The rules of the annotation file, kept in one place for its readers and
// its writer. A line holds fields separated by "," with no quoting; the
// first line is the header row ("图片名称" and the catalogue texts), every
// later line is a data row: an image's file name and one "1"/"0" flag per
// catalogue entry. These functions touch no file and no widget.
namespace AnnotationFormat {

QString nameColumnTitle();

// The 19 catalogue labels in the order of the flag columns (and of the label
// buttons); the order must never change.
QStringList catalogue();

// Splits decoded file text into lines. LF and CR LF end a line; a last line
// without a line end counts; no line end is kept.
QStringList splitLines(QStringView text);

// Splits a line at every ","; empty fields count.
QStringList splitFields(const QString &line);
QStringView firstField(QStringView line);

// True when a field after the first is exactly "1".
bool hasSetFlag(QStringView line);

// The readers' row of an image: the first line, from position `from` on,
// whose first field equals `fileName` exactly; -1 when there is none.
qsizetype findRow(const QStringList &lines, const QString &fileName, qsizetype from = 0);

// Whether the first row of each name marks it, the way the readers see it:
// the first line whose first field is the name decides, every line counts.
// The keys are views into `lines`, which must outlive the result: a
// temporary list is refused when compiling.
QHash<QStringView, bool> markedByName(const QStringList &lines);
QHash<QStringView, bool> markedByName(const QStringList &&lines) = delete;

struct MarkCounts
{
    int marked = 0;
    int unmarked = 0;
};
MarkCounts countMarked(const QStringList &lines, const QStringList &fileNames);

// The labels that a data row sets, named by the header row's text at the
// same position; flags beyond the header's last field name nothing.
QStringList labelsOfRow(const QString &header, const QString &row);

// The last line, scanning from the end, with at least two fields and a
// field after the first that is exactly "1"; -1 when there is none.
qsizetype lastMarkedLine(const QStringList &lines);

QString headerRow(const QStringList &labels);

QString buildRow(const QString &fileName, const QStringList &labels,
                 const QStringList &annotations);

// A name with "," or a line end would shift the flags or split the row. A
// name that begins with a double quote is read by CSV readers that quote
// (spreadsheets, Python's csv) as a quoted field that runs on to the next
// quote, taking the rows after it along; a quote further on is plain text
// to them.
bool canHoldName(const QString &fileName);

// Sorts every line but the first by UTF-16 code units; the first stays first.
// Rows of one name (the same first field) keep their order in the file, so
// that the row the readers take for the name stays the first of them.
void sortDataRows(QStringList &lines);

} // namespace AnnotationFormat
