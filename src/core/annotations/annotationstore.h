#pragma once

#include "annotationformat.h"
#include "annotationtext.h"
#include "saveresult.h"

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
// The CSV annotation file (CsvAnnotationFile) is one such home.
//
// Names are bare file names; a position is a place in the list given to
// setListedNames(), which is the open folder's listing in its order.
class AnnotationStore : public QObject
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
    virtual SaveResult saveRow(const QString &fileName,
                                               const QStringList &annotations,
                                               const std::function<bool()> &waiting = {}) = 0;

    // The row of `fileName` as the source holds it, in a form only the source
    // reads; empty when there is none.
    virtual QByteArray row(const QString &fileName) const = 0;
    // Puts `replacement`, a row that row() or rowReplaced() gave, in place of
    // the row of `fileName`, or removes that row when `replacement` is empty:
    // a save by all of saveRow()'s rules, for a row saved before. Refused as
    // RowChanged, nothing changed, when the row held then is not `expected`
    // (empty: none).
    virtual SaveResult putBackRow(const QString &fileName,
                                                  const QByteArray &expected,
                                                  const QByteArray &replacement,
                                                  const std::function<bool()> &waiting = {}) = 0;
    // A home that a team shares (a dataset on a server) says more than a
    // file; a file answers these as a home of one person does.
    //
    // Whether savedBy() and savedAt() know anything.
    virtual bool knowsWhoSaved() const { return false; }
    // Who saved the row of `fileName` last, and when (milliseconds since the
    // epoch); empty and 0 when nobody did or nobody knows.
    virtual QString savedBy(const QString &fileName) const
    {
        Q_UNUSED(fileName);
        return QString();
    }
    virtual qint64 savedAt(const QString &fileName) const
    {
        Q_UNUSED(fileName);
        return 0;
    }
    // Everyone known to have saved a row, in the order first met.
    virtual QStringList annotators() const { return QStringList(); }
    // The window now shows the stored labels of `fileName`: a later save of
    // it is checked against what was shown, and the image is held for the
    // window while it is shown.
    virtual void showing(const QString &fileName) { Q_UNUSED(fileName); }
    // nextUnmarked(), skipping the images that other windows hold, and
    // holding the one found for this window. While the answer is awaited,
    // `waiting` is called as saveRow() calls it. A failure gives -1 with
    // the reason in `error`.
    virtual qsizetype takeNextUnmarked(qsizetype position, const std::function<bool()> &waiting,
                                       QString *error)
    {
        Q_UNUSED(waiting);
        Q_UNUSED(error);
        return nextUnmarked(position);
    }
    // Of the listed unmarked `positions`, in their order, the first that no
    // other window holds, now held for this window; -1 when every one is
    // held elsewhere, or on a failure, with the reason in `error`. A file
    // holds nothing: the first.
    virtual qsizetype takeFirstFree(const QList<qsizetype> &positions,
                                    const std::function<bool()> &waiting, QString *error)
    {
        Q_UNUSED(waiting);
        Q_UNUSED(error);
        return positions.isEmpty() ? -1 : positions.first();
    }
    // After a save refused as Conflict: who saved the row that stands;
    // after Unreachable or Unconfirmed: why.
    virtual QString refusalDetail() const { return QString(); }
    // Whether `labels`, shown for `fileName`, are its stored row as the
    // window was shown it or as it stands, so that they hold nothing of the
    // person's, whatever the change flag says: on a team's dataset they
    // follow others' saves. A file keeps the change flag's rules: never.
    virtual bool isStoredRow(const QString &fileName, const QStringList &labels) const
    {
        Q_UNUSED(fileName);
        Q_UNUSED(labels);
        return false;
    }

    // A reviewer's word on a saved row, which only a team's dataset keeps;
    // the next save of the row clears it.
    enum Review { Unreviewed = 0, Accepted = 1, SentBack = 2 };
    virtual bool keepsReviews() const { return false; }
    virtual Review reviewOf(const QString &fileName) const
    {
        Q_UNUSED(fileName);
        return Unreviewed;
    }
    // The reason of a send back, for the annotator who saved the row (this
    // window's): empty for anyone else's row and for any other review.
    virtual QString ownSentBackReason(const QString &fileName) const
    {
        Q_UNUSED(fileName);
        return QString();
    }
    // An image of a team's dataset labelled twice, blind: the first
    // annotator's flags (the dataset's row until a reviewer settled the
    // image, then the first row as it stood), the second annotator's, and
    // whether a reviewer settled it by saving the final row.
    struct DoubleLabels
    {
        quint32 first = 0;
        quint32 second = 0;
        bool settled = false;
    };
    // The two labellings of `fileName` once its second annotator saved;
    // nothing when there are not two, and for the second annotator's own
    // images, whose first row they never see.
    virtual std::optional<DoubleLabels> doubleLabelsOf(const QString &fileName) const
    {
        Q_UNUSED(fileName);
        return std::nullopt;
    }
    // Accepts, or sends back with `reason`, the stored row of `fileName` as
    // this window was shown it; false with the reason in `error`.
    virtual bool review(const QString &fileName, bool accept, const QString &reason,
                        const std::function<bool()> &waiting, QString *error)
    {
        Q_UNUSED(fileName);
        Q_UNUSED(accept);
        Q_UNUSED(reason);
        Q_UNUSED(waiting);
        Q_UNUSED(error);
        return false;
    }

signals:
    // Everything was taken in anew (or emptied): any answer may have changed.
    void reloaded();
    // A save stored the row of `fileName`, and the answers already hold it.
    void rowSaved(const QString &fileName);
    // Told just before rowSaved(): the row of `fileName` that the save
    // replaced (empty when there was none) and the one it left (empty when
    // it removed the row).
    void rowReplaced(const QString &fileName, const QByteArray &before, const QByteArray &after);
    // Another window stored the row of `fileName` (a team's dataset), or
    // this one did in a save whose answer it never had, and the answers
    // already hold it.
    void savedElsewhere(const QString &fileName);
};
