#pragma once

#include "annotationstore.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class Suggestions;

// What the annotations say about one image.
using ImageFacts = AnnotationStore::RowFacts;

// What the dataset window reads, each from its one owner: the listed images
// and the current one from the main window's session, every image's facts
// and the counts over them from the annotation source's listed facts. It
// keeps nothing itself, so the window always shows the owners' state.
class DatasetSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QStringList catalogue() const = 0;
    // The annotation file, or a team's address, for what is made from the
    // annotations as a whole (a training split); empty when they live
    // elsewhere.
    virtual QString annotationPath() const = 0;
    // The listed images, in list order.
    virtual const QStringList &names() const = 0;
    // Changes each time the main window lists a folder anew.
    virtual quint64 listing() const = 0;
    // The current image's position; outside the list while there is none.
    virtual int currentIndex() const = 0;
    // The facts of the listed image at `position`, inside the list.
    virtual ImageFacts factsAt(qsizetype position) const = 0;
    // factsAt() of every listed image, in list order.
    virtual const std::vector<ImageFacts> &facts() const = 0;
    // How many listed images are marked, and how many set catalogue label
    // `label`.
    virtual qsizetype markedCount() const = 0;
    virtual qsizetype labelCount(int label) const = 0;
    // A team's dataset knows who saved each row last, and when (in
    // milliseconds since the epoch); a file does not.
    virtual bool knowsWhoSaved() const { return false; }
    virtual QString savedBy(qsizetype position) const
    {
        Q_UNUSED(position);
        return QString();
    }
    virtual qint64 savedAt(qsizetype position) const
    {
        Q_UNUSED(position);
        return 0;
    }
    virtual QStringList annotators() const { return QStringList(); }
    // A reviewer's word on the row at `position` since its last save.
    virtual AnnotationStore::Review reviewAt(qsizetype position) const
    {
        Q_UNUSED(position);
        return AnnotationStore::Unreviewed;
    }
    // The two labellings of a doubly-labelled image at `position` (see
    // AnnotationStore::doubleLabelsOf()).
    virtual std::optional<AnnotationStore::DoubleLabels> doubleLabelsAt(qsizetype position) const
    {
        Q_UNUSED(position);
        return std::nullopt;
    }
    // The model's suggestions for the listed images, by listed position;
    // null when there are none to ask.
    virtual const Suggestions *suggestions() const { return nullptr; }
    // One look at the file on disk; when it changed, it is read anew and
    // the main window's notifier tells annotationsReloaded().
    virtual void refresh() = 0;
};
