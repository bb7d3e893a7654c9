#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// A prediction's probabilities as both stores keep them: 16 bits a value,
// little-endian, 0..65534 for 0..1 and 65535 for a label the model does not
// give, so a million predictions of 19 labels take 38 MB.
namespace PredictionValues {

// Values outside 0..1 are taken as the nearest end.
QByteArray pack(const QList<float> &values);
QList<float> unpack(QByteArrayView packed);
// The shortest decimal (at most five places, no trailing zeros) that packs
// as `value` does: "0.87", "1", "0".
QString shortestText(float value);
// The largest difference between a value of 0..1 and its unpacked form.
constexpr double maximumError = 0.5 / 65534;

} // namespace PredictionValues
