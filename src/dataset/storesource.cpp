#include "storesource.h"

#include "annotationstore.h"
#include "csvannotationfile.h"
#include "imagesession.h"
#include "labellingwindow.h"

StoreSource::StoreSource(const LabellingWindow *window, QObject *parent)
    : DatasetSource(parent)
    , window(window)
{
}

QStringList StoreSource::catalogue() const
{
    return window->store()->catalogue();
}

QString StoreSource::annotationPath() const
{
    const auto *file = qobject_cast<const CsvAnnotationFile *>(window->store());
    return file ? file->path() : QString();
}

const QStringList &StoreSource::names() const
{
    return window->session().names();
}

quint64 StoreSource::listing() const
{
    return window->session().listing();
}

int StoreSource::currentIndex() const
{
    return window->session().position();
}

ImageFacts StoreSource::factsAt(qsizetype position) const
{
    // The main window gives the store its session's list whenever it opens
    // a folder: a listed position is one of the store's listed names.
    return window->store()->listedFacts(position);
}

const std::vector<ImageFacts> &StoreSource::facts() const
{
    return window->store()->listedFactsInOrder();
}

qsizetype StoreSource::markedCount() const
{
    return window->store()->markCounts().marked;
}

qsizetype StoreSource::labelCount(int label) const
{
    return window->store()->labelCounts().value(label);
}

bool StoreSource::knowsWhoSaved() const
{
    return window->store()->knowsWhoSaved();
}

QString StoreSource::savedBy(qsizetype position) const
{
    return window->store()->savedBy(window->session().names().at(position));
}

qint64 StoreSource::savedAt(qsizetype position) const
{
    return window->store()->savedAt(window->session().names().at(position));
}

QStringList StoreSource::annotators() const
{
    return window->store()->annotators();
}

void StoreSource::refresh()
{
    window->store()->refresh();
}
