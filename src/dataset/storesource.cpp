#include "storesource.h"

#include "annotationstore.h"
#include "tavrelin.h"

StoreSource::StoreSource(const Tavrelin *window, QObject *parent)
    : DatasetSource(parent)
    , window(window)
{
    connect(window->store(), &AnnotationStore::reloaded, this, &DatasetSource::reloaded);
    connect(window->store(), &AnnotationStore::rowSaved, this, &DatasetSource::rowSaved);
}

QStringList StoreSource::catalogue() const
{
    return window->store()->catalogue();
}

QString StoreSource::annotationPath() const
{
    return window->store()->path();
}

QStringList StoreSource::listedNames() const
{
    return window->session().names();
}

int StoreSource::currentIndex() const
{
    return window->session().position();
}

ImageFacts StoreSource::facts(const QString &fileName) const
{
    return window->store()->facts(fileName);
}

ImageFacts StoreSource::factsAt(qsizetype position) const
{
    const QStringList &names = window->session().names();
    // The store keeps the facts of the list it counts, which is the
    // session's own list as long as both hold the same one.
    const AnnotationStore *store = window->store();
    if (store->listedNames().isSharedWith(names))
        return store->listedFacts(position);
    return store->facts(names.at(position));
}

void StoreSource::refresh()
{
    window->store()->refresh();
}
