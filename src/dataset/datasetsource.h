#pragma once

#include "datasetindex.h"

#include <QObject>
#include <QString>
#include <QStringList>

// What the dataset window reads of the main window and of its annotation
// file: the listed images, the current one, and an index of the file that
// answers for one name without touching the file.
class DatasetSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QStringList catalogue() const = 0;
    virtual QString annotationPath() const = 0;
    virtual QStringList listedNames() const = 0;
    // The current image's position; outside the list while there is none.
    virtual int currentIndex() const = 0;
    virtual ImageFacts facts(const QString &fileName) const = 0;
    // facts() of the listed image at `position`, without a lookup by name
    // where the index can avoid it.
    virtual ImageFacts factsAt(qsizetype position) const = 0;
    // One look at the file on disk; when it changed, the index is read anew
    // and reloaded() follows.
    virtual void refresh() = 0;

signals:
    void reloaded();
    // The main window wrote the row of `fileName`; facts() already has it.
    void rowSaved(const QString &fileName);
};
