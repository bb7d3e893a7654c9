#include "predictionlisting.h"

#include <QDir>
#include <QHashFunctions>

PredictionListing::PredictionListing(const QString &folder, const QStringList &names)
    : imageFolder(folder), imageNames(names)
{
    std::size_t capacity = 16;
    while (capacity < std::size_t(names.size()) * 2)
        capacity *= 2;
    places.assign(capacity, -1);
    for (qsizetype position = 0; position < names.size(); ++position) {
        std::size_t slot = qHash(names.at(position)) & (capacity - 1);
        while (places[slot] >= 0 && names.at(places[slot]) != names.at(position))
            slot = (slot + 1) & (capacity - 1);
        // A name listed twice keeps its first position.
        if (places[slot] < 0)
            places[slot] = qint32(position);
    }
}

qsizetype PredictionListing::find(const QString &name) const
{
    if (places.empty())
        return -1;
    const std::size_t mask = places.size() - 1;
    for (std::size_t slot = qHash(name) & mask; places[slot] >= 0; slot = (slot + 1) & mask) {
        if (imageNames.at(places[slot]) == name)
            return places[slot];
    }
    return -1;
}

QString PredictionListing::path(qsizetype position) const
{
    return QDir(imageFolder).filePath(imageNames.at(position));
}
