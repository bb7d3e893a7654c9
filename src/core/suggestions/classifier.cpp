#include "classifier.h"

#include "picturefiles.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("Suggestions", source);
}

// OpenCV's own log would add lines of its own to a refusal already told.
void silenceOpenCv()
{
    static std::once_flag once;
    std::call_once(once, [] {
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    });
}

// OpenCV 4.6 imports Clip only with min and max as attributes (opset 10 and
// before); from opset 11 they are inputs, which it refuses with a reason
// that does not say so.
QString loadRefusal(const QString &path, const QString &reason)
{
    // OpenCV's reason runs over several lines, the place in its own source
    // after the first: the person reads the first one, as one line.
    QString first = reason.trimmed().section(QLatin1Char('\n'), 0, 0);
    if (const qsizetype source = first.indexOf(QLatin1String(" OpenCV(")); source > 0)
        first.truncate(source);
    while (first.endsWith(QLatin1Char(':')) || first.startsWith(QLatin1Char('>')))
        first = first.endsWith(QLatin1Char(':')) ? first.chopped(1) : first.mid(1).trimmed();
    QString told = QDir::toNativeSeparators(path) + QStringLiteral(": ") + first.trimmed();
    if (told.contains(QLatin1String("Clip")))
        told += text("（OpenCV 4.6 不能读取以输入给出 min/max 的 Clip，即 opset 11 及以后的 Clip："
                     "请以 opset 10 导出，或以 ReLU 代替 ReLU6）");
    return text("无法载入模型：%1").arg(told);
}

std::optional<cv::dnn::Net> readNetwork(const QByteArray &bytes, QString *reason)
{
    silenceOpenCv();
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(bytes.constData(), std::size_t(bytes.size()));
        if (net.empty()) {
            *reason = text("OpenCV 读出的网络为空");
            return std::nullopt;
        }
        return net;
    } catch (const cv::Exception &failure) {
        *reason = QString::fromStdString(failure.err);
        return std::nullopt;
    }
}

bool hasOutput(const cv::dnn::Net &net, const QString &name)
{
    return net.getLayerId(name.toStdString()) >= 0;
}

float sigmoid(float x)
{
    return 1.f / (1.f + std::exp(-x));
}

} // namespace

struct Classifier::Model
{
    ModelDescription description;
    QByteArray bytes;
    QByteArray sha256;
    QString path;
    int catalogueSize = 0;
    // Planes of the input: byte value -> (value / 255 - mean) / std.
    std::array<std::array<float, 256>, 3> scaled{};
};

struct Classifier::Network
{
    cv::dnn::Net net;
    std::vector<std::string> outputs; // the values, then the features if named
};

std::optional<Classifier> Classifier::load(const QString &onnxPath, const QStringList &catalogue,
                                           QString *error)
{
    std::optional<ModelDescription> description = ModelDescription::read(onnxPath, catalogue, error);
    if (!description)
        return std::nullopt;
    QFile file(onnxPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = loadRefusal(onnxPath, file.errorString());
        return std::nullopt;
    }
    auto model = std::make_shared<Model>();
    model->bytes = file.readAll();
    QString reason;
    std::optional<cv::dnn::Net> net = readNetwork(model->bytes, &reason);
    if (!net) {
        *error = loadRefusal(onnxPath, reason);
        return std::nullopt;
    }
    for (const QString &name : {description->output, description->features}) {
        if (!name.isEmpty() && !hasOutput(*net, name)) {
            const bool isOutput = name == description->output;
            *error = text("模型说明文件有误：%1")
                         .arg(QStringLiteral("%1: %2").arg(isOutput ? QStringLiteral("output")
                                                                    : QStringLiteral("features"),
                                                           name));
            return std::nullopt;
        }
    }
    model->sha256 = QCryptographicHash::hash(model->bytes, QCryptographicHash::Sha256);
    model->path = onnxPath;
    model->catalogueSize = int(catalogue.size());
    model->description = std::move(*description);
    for (std::size_t c = 0; c < 3; ++c) {
        for (int value = 0; value < 256; ++value)
            model->scaled[c][std::size_t(value)] =
                (float(value) / 255.f - model->description.mean[c]) / model->description.std[c];
    }
    Classifier classifier;
    classifier.model = model;
    classifier.network = std::make_shared<Network>(Network{*net, {}});
    const std::vector<std::string> unconnected = net->getUnconnectedOutLayersNames();
    classifier.network->outputs.push_back(model->description.output.isEmpty()
                                              ? unconnected.front()
                                              : model->description.output.toStdString());
    if (!model->description.features.isEmpty())
        classifier.network->outputs.push_back(model->description.features.toStdString());
    return classifier;
}

const ModelDescription &Classifier::description() const
{
    return model->description;
}

QByteArray Classifier::sha256() const
{
    return model->sha256;
}

QString Classifier::path() const
{
    return model->path;
}

Classifier Classifier::copy() const
{
    QString reason;
    Classifier other = *this;
    // The bytes were read once already: a second reading gives the same.
    other.network = std::make_shared<Network>(
        Network{readNetwork(model->bytes, &reason).value_or(cv::dnn::Net()), network->outputs});
    return other;
}

qsizetype Classifier::inputSize() const
{
    return qsizetype(3) * model->description.width * model->description.height;
}

bool Classifier::prepare(const QString &path, float *into) const
{
    const int width = model->description.width;
    const int height = model->description.height;
    QImageReader reader(path);
    reader.setAutoTransform(true);
    // The reader scales in the file's own orientation, before turning it.
    const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
    const QSize scaledSize = turned ? QSize(height, width) : QSize(width, height);
    reader.setScaledSize(scaledSize);
    QImage picture;
    {
        const std::shared_lock lock(allocationLimitGuard());
        picture = reader.read();
    }
    if (picture.isNull())
        picture = readReducedBeyondLimit(path, scaledSize);
    if (picture.isNull())
        return false;
    if (picture.size() != QSize(width, height))
        picture = picture.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    picture.convertTo(QImage::Format_RGB888);
    const qsizetype plane = qsizetype(width) * height;
    for (int y = 0; y < height; ++y) {
        const uchar *line = picture.constScanLine(y);
        float *row = into + qsizetype(y) * width;
        for (int x = 0; x < width; ++x) {
            row[x] = model->scaled[0][line[3 * x]];
            row[plane + x] = model->scaled[1][line[3 * x + 1]];
            row[2 * plane + x] = model->scaled[2][line[3 * x + 2]];
        }
    }
    return true;
}

QList<Classifier::Outcome> Classifier::predict(const QStringList &paths, QString *refusal)
{
    std::vector<float> inputs(std::size_t(inputSize() * paths.size()));
    QList<bool> prepared;
    qsizetype count = 0;
    for (const QString &path : paths) {
        prepared.append(prepare(path, inputs.data() + count * inputSize()));
        count += prepared.constLast() ? 1 : 0;
    }
    inputs.resize(std::size_t(count * inputSize()));
    return run(inputs, prepared, refusal);
}

QList<Classifier::Outcome> Classifier::run(const std::vector<float> &inputs,
                                           const QList<bool> &prepared, QString *refusal)
{
    const ModelDescription &description = model->description;
    const int count = int(inputs.size() / std::size_t(std::max<qsizetype>(1, inputSize())));
    std::vector<cv::Mat> outputs;
    if (count > 0) {
        const int shape[] = {count, 3, description.height, description.width};
        const cv::Mat blob(4, shape, CV_32F, const_cast<float *>(inputs.data()));
        try {
            network->net.setInput(blob);
            network->net.forward(outputs, network->outputs);
        } catch (const cv::Exception &failure) {
            *refusal = text("模型无法运行：%1").arg(QString::fromStdString(failure.err).trimmed());
            return {};
        }
        const qsizetype given = qsizetype(outputs.at(0).total()) / count;
        if (given != description.labels.size()) {
            *refusal = text("模型的输出与说明文件不符：%1 为每张图片给出 %2 个值，说明文件列出 %3 个标签")
                           .arg(QString::fromStdString(network->outputs.at(0)))
                           .arg(given)
                           .arg(description.labels.size());
            return {};
        }
    }
    QList<Outcome> outcomes;
    int picture = 0;
    for (const bool decoded : prepared) {
        Outcome outcome;
        if (decoded) {
            outcome.decoded = true;
            outcome.values.fill(std::numeric_limits<float>::quiet_NaN(), model->catalogueSize);
            const float *values = outputs.at(0).ptr<float>() + picture * description.labels.size();
            for (qsizetype i = 0; i < description.labels.size(); ++i)
                outcome.values[description.labels.at(i)] =
                    description.sigmoid ? sigmoid(values[i]) : values[i];
            if (outputs.size() > 1) {
                const qsizetype size = qsizetype(outputs.at(1).total()) / count;
                outcome.features = ModelFeatures::pack(outputs.at(1).ptr<float>() + picture * size, size);
            }
            ++picture;
        }
        outcomes.append(outcome);
    }
    return outcomes;
}

QByteArray ModelFeatures::pack(const float *values, qsizetype count)
{
    const qsizetype kept = std::min(count, maximumValues);
    std::vector<float> reduced(std::size_t(kept), 0.f);
    for (qsizetype i = 0; i < kept; ++i) {
        const qsizetype from = i * count / kept;
        const qsizetype to = std::max(from + 1, (i + 1) * count / kept);
        for (qsizetype j = from; j < to; ++j)
            reduced[std::size_t(i)] += values[j];
        reduced[std::size_t(i)] /= float(to - from);
    }
    float largest = 0.f;
    for (const float value : reduced)
        largest = std::max(largest, std::isfinite(value) ? std::abs(value) : 0.f);
    const float scale = largest > 0.f ? largest / 127.f : 1.f;
    QByteArray packed(4 + kept, Qt::Uninitialized);
    qToLittleEndian(scale, packed.data());
    for (qsizetype i = 0; i < kept; ++i) {
        const float value = std::isfinite(reduced[std::size_t(i)]) ? reduced[std::size_t(i)] : 0.f;
        packed[4 + i] = char(qint8(std::lround(std::clamp(value / scale, -127.f, 127.f))));
    }
    return packed;
}

QList<float> ModelFeatures::unpack(const QByteArray &packed)
{
    if (packed.size() < 4)
        return {};
    const float scale = qFromLittleEndian<float>(packed.constData());
    QList<float> values;
    values.reserve(packed.size() - 4);
    for (qsizetype i = 4; i < packed.size(); ++i)
        values.append(float(qint8(packed.at(i))) * scale);
    return values;
}
