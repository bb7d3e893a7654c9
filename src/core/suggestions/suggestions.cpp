#include "suggestions.h"

// A first shape: no model is ever taken yet.
struct Suggestions::Private
{
    QStringList catalogue;
    std::unique_ptr<PredictionStore> store;
};

Suggestions::Suggestions(const QStringList &catalogue, std::unique_ptr<PredictionStore> store,
                         QObject *parent)
    : QObject(parent), d(new Private{catalogue, std::move(store)})
{
}

Suggestions::~Suggestions() = default;

bool Suggestions::loadModel(const QString &onnxPath, QString *error)
{
    if (error)
        *error = tr("无法载入模型：%1").arg(onnxPath);
    return false;
}

void Suggestions::unloadModel() {}
bool Suggestions::hasModel() const { return false; }
QString Suggestions::modelName() const { return QString(); }
QString Suggestions::modelPath() const { return QString(); }
void Suggestions::setListed(const QString &, const QStringList &) {}
void Suggestions::setShown(qsizetype) {}
QList<float> Suggestions::thresholds() const { return {}; }
std::optional<QList<float>> Suggestions::probabilities(const QString &) const { return {}; }
QStringList Suggestions::suggested(const QString &) const { return {}; }
std::optional<float> Suggestions::certainty(const QString &) const { return {}; }
qsizetype Suggestions::leastSure(const std::function<bool(qsizetype)> &) const { return -1; }
qsizetype Suggestions::predictedCount() const { return 0; }
qsizetype Suggestions::listedCount() const { return 0; }
qsizetype Suggestions::undecodableCount() const { return 0; }
