#include "remembered.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString annotationFolderKey = QStringLiteral("folders/annotations");
const QString imageFolderKey = QStringLiteral("folders/images");

QString existingFolder(const QString &folder)
{
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

} // namespace

Remembered::Remembered()
    : QSettings(QStringLiteral(NORVANTA_APP_ID))
{
}

QString Remembered::annotationFolder()
{
    const QString folder = existingFolder(Remembered().value(annotationFolderKey).toString());
    return folder.isEmpty() ? QDir::homePath() : folder;
}

void Remembered::useAnnotationFile(const QString &path)
{
    Remembered().setValue(annotationFolderKey, QFileInfo(path).absolutePath());
}

QString Remembered::imageFolder()
{
    return existingFolder(Remembered().value(imageFolderKey).toString());
}

void Remembered::useImageFolder(const QString &folder)
{
    Remembered().setValue(imageFolderKey, QFileInfo(folder).absoluteFilePath());
}
