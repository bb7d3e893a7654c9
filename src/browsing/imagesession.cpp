#include "imagesession.h"

#include <QDir>

QStringList ImageSession::listImages(const QString &folder)
{
    // NoSort falls back to the folder's own sort: by name, ignoring case.
    const QStringList patterns{QStringLiteral("*.png"), QStringLiteral("*.jpg"),
                               QStringLiteral("*.bmp")};
    return QDir(folder).entryList(patterns, QDir::Files, QDir::NoSort);
}

void ImageSession::open(const QString &folder, const QStringList &names)
{
    imageDir = folder;
    imageFiles = names;
    currentIndex = names.isEmpty() ? -1 : 0;
}

QString ImageSession::currentName() const
{
    return hasCurrent() ? imageFiles.at(currentIndex) : QString();
}

QString ImageSession::currentPath() const
{
    return pathAt(currentIndex);
}

QString ImageSession::pathAt(qsizetype index) const
{
    if (!isListed(index))
        return QString();
    return QDir::toNativeSeparators(imageDir + u'/' + imageFiles.at(index));
}

QStringList ImageSession::neighbourPaths() const
{
    QStringList neighbours;
    for (const int neighbour : {currentIndex + 1, currentIndex - 1}) {
        if (hasCurrent() && isListed(neighbour))
            neighbours.append(pathAt(neighbour));
    }
    return neighbours;
}

bool ImageSession::next()
{
    return moveTo(qsizetype(currentIndex) + 1);
}

bool ImageSession::previous()
{
    return currentIndex > 0 && moveTo(currentIndex - 1);
}

bool ImageSession::moveTo(qsizetype index)
{
    if (!isListed(index))
        return false;
    currentIndex = int(index);
    return true;
}
