#include "remembered.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>
#include <limits>

namespace {

const QString annotationFolderKey = QStringLiteral("folders/annotations");
const QString imageFolderKey = QStringLiteral("folders/images");
// One map from store to model: a store's path or address holds the "/" that
// would split a key into groups.
const QString modelsKey = QStringLiteral("models/chosen");
// One map from store and model name to thresholds, kept as text ("" for the
// model's own), which every settings format reads back the same.
const QString thresholdsKey = QStringLiteral("models/thresholds");

QString thresholdsEntry(const QString &store, const QString &modelName)
{
    return store + u'\n' + modelName;
}

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

QList<float> Remembered::thresholdsFor(const QString &store, const QString &modelName)
{
    const QStringList texts = Remembered()
                                  .value(thresholdsKey)
                                  .toMap()
                                  .value(thresholdsEntry(store, modelName))
                                  .toStringList();
    QList<float> thresholds;
    for (const QString &text : texts) {
        bool number = false;
        const float value = text.toFloat(&number);
        thresholds.append(number ? value : std::numeric_limits<float>::quiet_NaN());
    }
    return thresholds;
}

void Remembered::useThresholds(const QString &store, const QString &modelName,
                               const QList<float> &thresholds)
{
    QStringList texts;
    for (const float value : thresholds)
        texts.append(std::isnan(value) ? QString() : QString::number(double(value)));
    Remembered settings;
    QVariantMap kept = settings.value(thresholdsKey).toMap();
    kept.insert(thresholdsEntry(store, modelName), texts);
    settings.setValue(thresholdsKey, kept);
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
