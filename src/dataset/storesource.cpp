#include "storesource.h"

#include "annotationstore.h"
#include "csvannotationfile.h"
#include "imagesession.h"
#include "labellingsession.h"
#include "teamstore.h"

StoreSource::StoreSource(const LabellingSession *labelling, QObject *parent)
    : DatasetSource(parent)
    , labelling(labelling)
{
}

QStringList StoreSource::catalogue() const
{
    return labelling->store()->catalogue();
}

QString StoreSource::annotationPath() const
{
    const auto *file = qobject_cast<const CsvAnnotationFile *>(labelling->store());
    if (file)
        return file->path();
    const auto *team = qobject_cast<const TeamStore *>(labelling->store());
    return team ? team->address().displayText() : QString();
}

const QStringList &StoreSource::names() const
{
    return labelling->images().names();
}

quint64 StoreSource::listing() const
{
    return labelling->images().listing();
}

int StoreSource::currentIndex() const
{
    return labelling->images().position();
}

ImageFacts StoreSource::factsAt(qsizetype position) const
{
    // The session gives the store its list whenever it opens a folder: a
    // listed position is one of the store's listed names.
    return labelling->store()->listedFacts(position);
}

const std::vector<ImageFacts> &StoreSource::facts() const
{
    return labelling->store()->listedFactsInOrder();
}

qsizetype StoreSource::markedCount() const
{
    return labelling->store()->markCounts().marked;
}

qsizetype StoreSource::labelCount(int label) const
{
    return labelling->store()->labelCounts().value(label);
}

bool StoreSource::knowsWhoSaved() const
{
    return labelling->store()->knowsWhoSaved();
}

QString StoreSource::savedBy(qsizetype position) const
{
    return labelling->store()->savedBy(labelling->images().names().at(position));
}

AnnotationStore::Review StoreSource::reviewAt(qsizetype position) const
{
    return labelling->store()->reviewOf(labelling->images().names().at(position));
}

std::optional<AnnotationStore::DoubleLabels> StoreSource::doubleLabelsAt(qsizetype position) const
{
    return labelling->store()->doubleLabelsOf(labelling->images().names().at(position));
}

qint64 StoreSource::savedAt(qsizetype position) const
{
    return labelling->store()->savedAt(labelling->images().names().at(position));
}

QStringList StoreSource::annotators() const
{
    return labelling->store()->annotators();
}

const Suggestions *StoreSource::suggestions() const
{
    return labelling->suggestions();
}

void StoreSource::refresh()
{
    labelling->store()->refresh();
}
