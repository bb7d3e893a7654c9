#pragma once

#include "modeldescription.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// A model ready to run: its description, its identity (the description's
// name and the SHA-256 of the .onnx bytes) and one OpenCV network read from
// those bytes. A network is used by one thread at a time: another thread
// takes a copy() of its own.
class Classifier
{
public:
    // What the model gives for one picture.
    struct Outcome
    {
        // False when the picture could not be decoded: then nothing else.
        bool decoded = false;
        // Per catalogue label, NaN for a label the model does not give.
        QList<float> values;
        // The embedding reduced by ModelFeatures::pack(); empty when the
        // description names no features output.
        QByteArray features;
    };

    // The model `onnxPath` with its description, or nothing with the text a
    // person reads in `error` ("无法载入模型：%1", "缺少模型说明文件：%1",
    // "模型说明文件有误：%1").
    static std::optional<Classifier> load(const QString &onnxPath, const QStringList &catalogue,
                                          QString *error);

    const ModelDescription &description() const;
    QByteArray sha256() const;
    QString path() const;
    // The same model with a network of its own.
    Classifier copy() const;

    // The model's input for the picture at `path` (3 × height × width floats,
    // red, green, blue planes) written at `into`; false when the picture
    // cannot be decoded.
    bool prepare(const QString &path, float *into) const;
    qsizetype inputSize() const;
    // The outcomes of `count` pictures, each prepared or not (`prepared`);
    // `inputs` holds the prepared ones one after the other. Empty with the
    // text a person reads in `refusal` when the model turns out unusable: an
    // output whose size is not the number of its labels, or one that fails.
    QList<Outcome> run(const std::vector<float> &inputs, const QList<bool> &prepared,
                       QString *refusal);
    // prepare() and run() for the pictures at `paths`.
    QList<Outcome> predict(const QStringList &paths, QString *refusal);

private:
    struct Model;
    struct Network;
    std::shared_ptr<const Model> model;
    std::shared_ptr<Network> network;
};

// An embedding in at most 512 bytes: a little-endian float32 scale, then one
// signed byte per value (value = byte × scale); an embedding of more than 508
// values is first averaged over 508 runs of neighbouring values.
namespace ModelFeatures {
constexpr qsizetype maximumValues = 508;
QByteArray pack(const float *values, qsizetype count);
QList<float> unpack(const QByteArray &packed);
} // namespace ModelFeatures
