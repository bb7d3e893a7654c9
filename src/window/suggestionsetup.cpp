// The model's suggestions for this window's store: made with the store's
// prediction store, which is opened only once a model is chosen, and the
// choice of model remembered for the store, so that the next start takes it
// again while its file is there.
#include "tavrelin.h"

#include "labellingsession.h"
#include "remembered.h"
#include "suggestions.h"
#include "teamaddress.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

void Tavrelin::setupSuggestions(const QString &savePath)
{
    std::unique_ptr<PredictionStore> kept;
    QString storeKey;
    QString error;
    const std::optional<TeamAddress> address =
        TeamAddress::isAddress(savePath) ? TeamAddress::parse(savePath, &error) : std::nullopt;
    if (address) {
        kept = PredictionStore::onServer(*address);
        storeKey = address->displayText();
    } else {
        kept = PredictionStore::besideFile(savePath);
        storeKey = QFileInfo(savePath).absoluteFilePath();
    }
    auto *suggestions = new Suggestions(labels, std::move(kept), labellingSession);
    const QString remembered = Remembered::modelFor(storeKey);
    if (!remembered.isEmpty() && QFileInfo(remembered).isFile())
        suggestions->loadModel(remembered, &error);
    // Whoever takes or lets go of a model (the dataset window, the command
    // line), and a model found unusable, changes what is remembered.
    // Thresholds adopted for a model on this store come back with it.
    const auto adoptRemembered = [suggestions, storeKey] {
        if (suggestions->hasModel() && !suggestions->hasAdoptedThresholds()) {
            const QList<float> kept = Remembered::thresholdsFor(storeKey, suggestions->modelName());
            if (!kept.isEmpty())
                suggestions->setThresholds(kept);
        }
    };
    adoptRemembered();
    connect(suggestions, &Suggestions::modelChanged, this, [suggestions, storeKey, adoptRemembered] {
        Remembered::useModel(storeKey, suggestions->modelPath());
        adoptRemembered();
    });
    connect(suggestions, &Suggestions::thresholdsAdopted, this,
            [suggestions, storeKey](const QList<float> &thresholds) {
                Remembered::useThresholds(storeKey, suggestions->modelName(), thresholds);
            });
    // Found at its first inference: the model was let go already.
    connect(suggestions, &Suggestions::modelRefused, this, [this](const QString &text) {
        QWidget *active = QApplication::activeWindow();
        QMessageBox::warning(active ? active : this, tr("Error"), text);
    });
    labellingSession->setSuggestions(suggestions);
}

bool Tavrelin::chooseModel(const QString &onnxPath, QString *error)
{
    Suggestions *suggestions = labellingSession ? labellingSession->suggestions() : nullptr;
    if (!suggestions) {
        *error = tr("无法载入模型：%1").arg(onnxPath);
        return false;
    }
    return suggestions->loadModel(QFileInfo(onnxPath).absoluteFilePath(), error);
}
