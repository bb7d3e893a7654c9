#include "modeldescription.h"

#include "labelcatalogue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <limits>

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("Suggestions", source);
}

// Each reader below names in `wrong` the field it finds wrong, as the person
// writes it in the file, and returns nothing of use then.
int catalogueIndex(const QStringList &catalogue, const QString &code)
{
    for (qsizetype i = 0; i < catalogue.size(); ++i) {
        if (labelCode(catalogue.at(i)) == code)
            return int(i);
    }
    return -1;
}

QList<int> readLabels(const QJsonObject &description, const QStringList &catalogue, QString *wrong)
{
    const QJsonValue value = description.value(QLatin1String("labels"));
    if (!value.isArray() || value.toArray().isEmpty()) {
        *wrong = QStringLiteral("labels");
        return {};
    }
    QList<int> labels;
    for (const QJsonValue &code : value.toArray()) {
        const int index = catalogueIndex(catalogue, code.toString());
        if (!code.isString() || index < 0 || labels.contains(index)) {
            const QString given = code.isString() ? code.toString() : QStringLiteral("?");
            *wrong = QStringLiteral("labels: %1").arg(given);
            return {};
        }
        labels.append(index);
    }
    return labels;
}

int readSide(const QJsonObject &input, const char *name, QString *wrong)
{
    const QJsonValue value = input.value(QLatin1String(name));
    const double side = value.toDouble(-1);
    if (!value.isDouble() || side != std::floor(side) || side < 1 || side > 8192) {
        *wrong = QStringLiteral("input.%1").arg(QLatin1String(name));
        return {};
    }
    return int(side);
}

std::array<float, 3> readChannels(const QJsonObject &input, const char *name, float byDefault,
                                  QString *wrong)
{
    const QJsonValue value = input.value(QLatin1String(name));
    std::array<float, 3> channels{byDefault, byDefault, byDefault};
    if (value.isUndefined())
        return channels;
    const QJsonArray three = value.toArray();
    if (!value.isArray() || three.size() != 3) {
        *wrong = QStringLiteral("input.%1").arg(QLatin1String(name));
        return {};
    }
    for (int c = 0; c < 3; ++c) {
        const double number = three.at(c).toDouble(std::numeric_limits<double>::quiet_NaN());
        const bool isStd = byDefault == 1.f;
        if (!std::isfinite(number) || (isStd && number <= 0)) {
            *wrong = QStringLiteral("input.%1").arg(QLatin1String(name));
            return {};
        }
        channels[std::size_t(c)] = float(number);
    }
    return channels;
}

void readInput(const QJsonObject &description, ModelDescription *model, QString *wrong)
{
    const QJsonValue value = description.value(QLatin1String("input"));
    if (!value.isObject()) {
        *wrong = QStringLiteral("input");
        return;
    }
    const QJsonObject input = value.toObject();
    model->width = readSide(input, "width", wrong);
    if (wrong->isEmpty())
        model->height = readSide(input, "height", wrong);
    if (wrong->isEmpty())
        model->mean = readChannels(input, "mean", 0.f, wrong);
    if (wrong->isEmpty())
        model->std = readChannels(input, "std", 1.f, wrong);
}

// An optional text field: empty when left out.
QString readName(const QJsonObject &description, const char *name, QString *wrong)
{
    const QJsonValue value = description.value(QLatin1String(name));
    if (value.isUndefined())
        return QString();
    if (!value.isString() || value.toString().isEmpty()) {
        *wrong = QLatin1String(name);
        return {};
    }
    return value.toString();
}

QList<float> readThresholds(const QJsonObject &description, const QStringList &catalogue,
                            const QList<int> &labels, QString *wrong)
{
    QList<float> thresholds(catalogue.size(), std::numeric_limits<float>::quiet_NaN());
    for (const int index : labels)
        thresholds[index] = 0.5f;
    const QJsonValue value = description.value(QLatin1String("thresholds"));
    if (value.isUndefined())
        return thresholds;
    if (!value.isObject()) {
        *wrong = QStringLiteral("thresholds");
        return {};
    }
    const QJsonObject given = value.toObject();
    for (auto it = given.begin(); it != given.end(); ++it) {
        const int index = catalogueIndex(catalogue, it.key());
        const double threshold = it.value().toDouble(-1);
        if (index < 0 || !labels.contains(index) || !it.value().isDouble() || threshold < 0
            || threshold > 1) {
            *wrong = QStringLiteral("thresholds: %1").arg(it.key());
            return {};
        }
        thresholds[index] = float(threshold);
    }
    return thresholds;
}

ModelDescription readFields(const QJsonObject &description, const QStringList &catalogue,
                            QString *wrong)
{
    ModelDescription model;
    model.name = readName(description, "name", wrong);
    if (wrong->isEmpty() && model.name.isEmpty())
        *wrong = QStringLiteral("name");
    if (wrong->isEmpty())
        model.labels = readLabels(description, catalogue, wrong);
    if (wrong->isEmpty())
        readInput(description, &model, wrong);
    if (wrong->isEmpty())
        model.output = readName(description, "output", wrong);
    const QString activation = wrong->isEmpty() ? readName(description, "activation", wrong)
                                                : QString();
    if (!activation.isEmpty() && activation != QLatin1String("sigmoid")
        && activation != QLatin1String("none"))
        *wrong = QStringLiteral("activation");
    model.sigmoid = activation == QLatin1String("sigmoid");
    if (wrong->isEmpty())
        model.features = readName(description, "features", wrong);
    if (wrong->isEmpty())
        model.thresholds = readThresholds(description, catalogue, model.labels, wrong);
    return model;
}

} // namespace

QString ModelDescription::pathBeside(const QString &onnxPath)
{
    const QFileInfo onnx(onnxPath);
    return onnx.dir().filePath(onnx.completeBaseName() + QStringLiteral(".json"));
}

std::optional<ModelDescription> ModelDescription::read(const QString &onnxPath,
                                                       const QStringList &catalogue, QString *error)
{
    const QString path = pathBeside(onnxPath);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = text("缺少模型说明文件：%1").arg(QDir::toNativeSeparators(path));
        return std::nullopt;
    }
    QJsonParseError parsing;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parsing);
    if (!document.isObject()) {
        *error = text("模型说明文件有误：%1").arg(parsing.error == QJsonParseError::NoError
                                                     ? QStringLiteral("{}")
                                                     : parsing.errorString());
        return std::nullopt;
    }
    QString wrong;
    ModelDescription model = readFields(document.object(), catalogue, &wrong);
    if (!wrong.isEmpty()) {
        *error = text("模型说明文件有误：%1").arg(wrong);
        return std::nullopt;
    }
    return model;
}
