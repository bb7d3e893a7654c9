#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// What the description beside a model (`NAME.json` beside `NAME.onnx`) says:
// which catalogue labels the output's columns give, how a picture becomes
// the model's input, and which outputs to read. Every field is checked when
// it is read, so that a model in use never meets a wrong one later.
struct ModelDescription
{
    QString name;
    // The catalogue index of each output column, in the output's order.
    QList<int> labels;
    int width = 0;
    int height = 0;
    // Per channel, red, green, blue: the input is (x - mean) / std of the
    // picture scaled to 0..1.
    std::array<float, 3> mean{0.f, 0.f, 0.f};
    std::array<float, 3> std{1.f, 1.f, 1.f};
    // Empty: the model's first output.
    QString output;
    // The output gives logits, to be made probabilities.
    bool sigmoid = false;
    // Empty: the model gives no embedding.
    QString features;
    // Per catalogue label; NaN for a label the model does not give.
    QList<float> thresholds;

    // The description of `onnxPath`, or nothing with the text a person reads
    // in `error` ("缺少模型说明文件：%1", "模型说明文件有误：%1" naming the
    // field). `catalogue` is the store's, codes taken by labelCode().
    static std::optional<ModelDescription> read(const QString &onnxPath,
                                                const QStringList &catalogue, QString *error);
    static QString pathBeside(const QString &onnxPath);
};
