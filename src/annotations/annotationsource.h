#pragma once

#include "annotationfile.h"
#include "annotationformat.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// Where the annotations live, as the windows and the session see it: the
// labels and facts of one image's row, the counts over the listed images,
// the searches the keys make, and saving one row. Every question is answered
// from what the source holds at that moment; refresh() brings that up to
// the annotations' home first, and is the only question that may touch it.
// The CSV annotation file (AnnotationStore) is one such home.
//
// Names are bare file names; a position is a place in the list given to
// setListedNames(), which is the open folder's listing in its order.
class AnnotationSource : public QObject
{
    Q_OBJECT

public:
    // What the source holds for one name. `flags` bit i is set when the
    // catalogue's label i is set in the name's row (the first row of the
    // exact name); `marked` follows the count line's rule: the row has a
    // flag set at any position.
    struct RowFacts
    {
        bool hasRow = false;
        bool marked = false;
        quint32 flags = 0;
    };

    using QObject::QObject;

    // The labels in the order of the flags; at most 31.
    virtual const QStringList &catalogue() const = 0;

    // Looks at the annotations' home and takes in what changed there since
    // the last look: then reloaded() is emitted and true returned.
    virtual bool refresh() = 0;
    // How the last look went: Missing (nothing stored yet), Unreadable, Read.
    virtual AnnotationText::Status status() const = 0;

    virtual RowFacts facts(const QString &fileName) const = 0;
    virtual bool isMarked(const QString &fileName) const = 0;
    // The labels that the row of `fileName` sets, by their names.
    virtual QStringList storedLabels(const QString &fileName) const = 0;
    // The name of the last marked row, in the source's own order of rows.
    virtual std::optional<QString> lastMarkedName() const = 0;

    // The names that the counts and the searches below are about; the
    // source keeps their facts and counts current through its own saves and
    // reloads.
    virtual void setListedNames(const QStringList &names) = 0;
    virtual AnnotationFormat::MarkCounts markCounts() const = 0;
    // How many listed names have each catalogue label set.
    virtual QList<qsizetype> labelCounts() const = 0;
    // facts() of the listed name at `position`, without a lookup by name.
    virtual RowFacts listedFacts(qsizetype position) const = 0;
    // listedFacts() of every listed name, in list order, for a pass over
    // all of them.
    virtual const std::vector<RowFacts> &listedFactsInOrder() const = 0;
    // The first position of `fileName` among the listed names; -1 when it is
    // not listed.
    virtual qsizetype listedPosition(const QString &fileName) const = 0;
    // The position of the first listed name after `position` that is not
    // marked; -1 when there is none.
    virtual qsizetype nextUnmarked(qsizetype position) const = 0;

    // Stores the row of `fileName` with the catalogue labels found in
    // `annotations` set, replacing the name's row or adding it. A refusal or
    // failure leaves the stored rows and every answer as they were. While
    // another writer holds the annotations, `waiting` is called before each
    // new try and ends the wait as Locked by returning false.
    virtual AnnotationFile::SaveResult saveRow(const QString &fileName,
                                               const QStringList &annotations,
                                               const std::function<bool()> &waiting = {}) = 0;

signals:
    // Everything was taken in anew (or emptied): any answer may have changed.
    void reloaded();
    // A save stored the row of `fileName`, and the answers already hold it.
    void rowSaved(const QString &fileName);
};
