#pragma once

#include <QList>
#include <QSettings>
#include <QString>

// What the program keeps between runs: where its windows stood, the
// inspection view's tones, the dataset window's column widths, the
// folders last used and the model chosen for each store. One file, named by the application's id
// (org.norvanta.Norvanta.conf in the user's configuration folder).
class Remembered final : public QSettings
{
    Q_OBJECT

public:
    Remembered();

    // The folder of the annotation file used last, where the start-up
    // dialog opens; the home folder until one was used or once it is gone.
    static QString annotationFolder();
    static void useAnnotationFile(const QString &path);
    // The image folder opened last, where the folder dialog opens; empty
    // (the dialog's own choice) until one was opened or once it is gone.
    static QString imageFolder();
    static void useImageFolder(const QString &folder);
    // The model chosen last for the annotation file or team's dataset
    // `store`; empty when none is. An empty `onnxPath` forgets it.
    static QString modelFor(const QString &store);
    static void useModel(const QString &store, const QString &onnxPath);
    // The thresholds adopted for the model `modelName` on `store`, one per
    // catalogue label (NaN: the model's own); empty when none were.
    static QList<float> thresholdsFor(const QString &store, const QString &modelName);
    static void useThresholds(const QString &store, const QString &modelName,
                              const QList<float> &thresholds);
};
