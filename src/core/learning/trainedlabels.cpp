#include "labellearning.h"

#include <QDataStream>
#include <QIODevice>

// The bytes kept with the predictions: a tag and a version, the width, then
// per trained label its index, its judgement and its weights, all in
// QDataStream's fixed big-endian form.

namespace {

constexpr quint32 bytesTag = 0x4e564c57; // "NVLW"
constexpr quint16 bytesVersion = 1;

} // namespace

const TrainedLabel *TrainedLabels::find(int label) const
{
    for (const TrainedLabel &trained : labels)
        if (trained.label == label)
            return &trained;
    return nullptr;
}

float TrainedLabels::probability(int label, const float *embedding) const
{
    const TrainedLabel *trained = find(label);
    if (!trained || std::isnan(embedding[0]))
        return NAN;
    double logit = trained->bias;
    for (qsizetype j = 0; j < width; ++j)
        logit += double(trained->weights[j]) * embedding[j];
    return float(1.0 / (1.0 + std::exp(-logit)));
}

quint32 TrainedLabels::improve(float *probabilities, const float *embedding) const
{
    quint32 replaced = 0;
    for (const TrainedLabel &trained : labels) {
        if (!trained.replacesModel)
            continue;
        const float p = probability(trained.label, embedding);
        if (std::isnan(p))
            continue;
        probabilities[trained.label] = p;
        replaced |= 1u << trained.label;
    }
    return replaced;
}

QByteArray TrainedLabels::toBytes() const
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setFloatingPointPrecision(QDataStream::SinglePrecision);
    out << bytesTag << bytesVersion << qint64(width) << quint32(labels.size());
    for (const TrainedLabel &trained : labels) {
        out << qint32(trained.label) << trained.trainedF1 << trained.modelF1
            << trained.replacesModel << trained.bias;
        for (const float w : trained.weights)
            out << w;
    }
    return bytes;
}

std::optional<TrainedLabels> TrainedLabels::fromBytes(const QByteArray &bytes)
{
    QDataStream in(bytes);
    in.setFloatingPointPrecision(QDataStream::SinglePrecision);
    quint32 tag = 0, count = 0;
    quint16 version = 0;
    qint64 width = -1;
    in >> tag >> version >> width >> count;
    if (in.status() != QDataStream::Ok || tag != bytesTag || version != bytesVersion || width < 0
        || count > 32)
        return std::nullopt;
    TrainedLabels result;
    result.width = width;
    for (quint32 k = 0; k < count; ++k) {
        TrainedLabel trained;
        qint32 label = -1;
        in >> label >> trained.trainedF1 >> trained.modelF1 >> trained.replacesModel
            >> trained.bias;
        if (in.status() != QDataStream::Ok || label < 0 || label >= 32
            || (bytes.size() - in.device()->pos()) / 4 < width)
            return std::nullopt;
        trained.label = label;
        trained.weights.resize(width);
        for (float &w : trained.weights)
            in >> w;
        result.labels.push_back(std::move(trained));
    }
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return std::nullopt;
    return result;
}
