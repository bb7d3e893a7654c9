#include "predictionvalues.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <limits>

namespace PredictionValues {

static constexpr quint16 none = 65535;
static constexpr double steps = 65534;

static quint16 codeOf(double value)
{
    return quint16(std::lround(std::clamp(value, 0.0, 1.0) * steps));
}

QByteArray pack(const QList<float> &values)
{
    QByteArray packed(values.size() * 2, Qt::Uninitialized);
    uchar *out = reinterpret_cast<uchar *>(packed.data());
    for (qsizetype i = 0; i < values.size(); ++i) {
        const float value = values.at(i);
        const quint16 code = std::isnan(value) ? none : codeOf(value);
        qToLittleEndian(code, out + 2 * i);
    }
    return packed;
}

QList<float> unpack(QByteArrayView packed)
{
    QList<float> values(packed.size() / 2);
    const uchar *in = reinterpret_cast<const uchar *>(packed.data());
    for (qsizetype i = 0; i < values.size(); ++i) {
        const quint16 code = qFromLittleEndian<quint16>(in + 2 * i);
        values[i] = code == none ? std::numeric_limits<float>::quiet_NaN() : float(code / steps);
    }
    return values;
}

QString shortestText(float value)
{
    const quint16 code = codeOf(value);
    QString text;
    // Five places always suffice: they are finer than a step.
    for (int places = 0; places <= 5; ++places) {
        text = QString::number(code / steps, 'f', places);
        if (codeOf(text.toDouble()) == code)
            break;
    }
    if (text.contains(u'.')) {
        while (text.endsWith(u'0'))
            text.chop(1);
        if (text.endsWith(u'.'))
            text.chop(1);
    }
    return text;
}

} // namespace PredictionValues
