#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The listed images the predictions are for, with an index from name to
// position that costs two 32-bit places an image: a million names are found
// in constant time without a hash table of strings.
class PredictionListing
{
public:
    PredictionListing() = default;
    PredictionListing(const QString &folder, const QStringList &names);

    const QString &folder() const { return imageFolder; }
    const QStringList &names() const { return imageNames; }
    qsizetype count() const { return imageNames.size(); }
    // The position of `name`, -1 when it is not listed.
    qsizetype find(const QString &name) const;
    QString path(qsizetype position) const;

private:
    QString imageFolder;
    QStringList imageNames;
    // Open addressing over a power of two: -1 marks an empty slot.
    std::vector<qint32> places;
};
