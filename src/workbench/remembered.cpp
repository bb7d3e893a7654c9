#include "remembered.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString annotationFolderKey = QStringLiteral("folders/annotations");
const QString imageFolderKey = QStringLiteral("folders/images");
// One map from store to model: a store's path or address holds the "/" that
// would split a key into groups.
const QString modelsKey = QStringLiteral("models/chosen");

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

QString Remembered::modelFor(const QString &store)
{
    return Remembered().value(modelsKey).toMap().value(store).toString();
}

void Remembered::useModel(const QString &store, const QString &onnxPath)
{
    Remembered settings;
    QVariantMap chosen = settings.value(modelsKey).toMap();
    if (onnxPath.isEmpty())
        chosen.remove(store);
    else
        chosen.insert(store, onnxPath);
    settings.setValue(modelsKey, chosen);
}
