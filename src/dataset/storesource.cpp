#include "storesource.h"

#include "annotationstore.h"

StoreSource::StoreSource(AnnotationStore *store, std::function<QStringList()> listedNames,
                         std::function<int()> currentIndex, QObject *parent)
    : DatasetSource(parent)
    , store(store)
    , names(std::move(listedNames))
    , current(std::move(currentIndex))
{
    if (!store->parent())
        store->setParent(this);
    connect(store, &AnnotationStore::reloaded, this, &DatasetSource::reloaded);
    connect(store, &AnnotationStore::rowSaved, this, &DatasetSource::rowSaved);
}

QStringList StoreSource::catalogue() const
{
    return store->catalogue();
}

QStringList StoreSource::listedNames() const
{
    return names();
}

int StoreSource::currentIndex() const
{
    return current();
}

ImageFacts StoreSource::facts(const QString &fileName) const
{
    return store->facts(fileName);
}

void StoreSource::refresh()
{
    store->refresh();
}
