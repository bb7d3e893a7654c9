#include "labelagreement.h"

#include <QCoreApplication>

#include <cmath>

double AgreementRatio::value() const
{
    return computable() ? double(numerator) / double(denominator) : NAN;
}

AgreementTally::AgreementTally(int labelCount)
    : tables(std::size_t(qMax(labelCount, 0)))
{
}

void AgreementTally::add(quint32 first, quint32 second)
{
    change(first, second, 1);
}

void AgreementTally::remove(quint32 first, quint32 second)
{
    change(first, second, -1);
}

void AgreementTally::clear()
{
    tables.assign(tables.size(), Table());
    pairs = 0;
}

void AgreementTally::change(quint32 first, quint32 second, int step)
{
    pairs += step;
    for (std::size_t label = 0; label < tables.size(); ++label) {
        const bool inFirst = first >> label & 1u;
        const bool inSecond = second >> label & 1u;
        Table &table = tables[label];
        if (inFirst && inSecond)
            table.both += step;
        else if (inFirst)
            table.firstOnly += step;
        else if (inSecond)
            table.secondOnly += step;
    }
}

AgreementCounts AgreementTally::counts(int label) const
{
    const Table &table = tables.at(std::size_t(label));
    return {pairs, table.both, table.firstOnly, table.secondOnly};
}

namespace LabelAgreement {

AgreementRatio share(const AgreementCounts &c)
{
    return {2 * c.both + c.firstOnly + c.secondOnly, 2 * qint64(c.images)};
}

AgreementRatio observed(const AgreementCounts &c)
{
    return {c.both + c.neither(), c.images};
}

// With n images, p_o = (a + d) / n and p_e = S / n², where S sums, over
// "set" and "not set", the product of the two rows' counts; so
// κ = (n·(a + d) − S) / (n² − S), zero over zero where p_e = 1.
AgreementRatio kappa(const AgreementCounts &c)
{
    const qint64 n = c.images;
    const qint64 firstSet = c.both + c.firstOnly;
    const qint64 secondSet = c.both + c.secondOnly;
    const qint64 chance = firstSet * secondSet + (n - firstSet) * (n - secondSet);
    return {n * (c.both + c.neither()) - chance, n * n - chance};
}

AgreementRatio pabak(const AgreementCounts &c)
{
    return {2 * (c.both + c.neither()) - c.images, c.images};
}

bool enough(const AgreementCounts &c)
{
    return c.withLabel() >= minimumWithLabel;
}

// Rounded on the exact ratio, so that a figure a person works out by hand
// reads the same, halves included.
QString text(const AgreementRatio &ratio)
{
    if (!ratio.computable())
        return QStringLiteral("—");
    const bool negative = (ratio.numerator < 0) != (ratio.denominator < 0);
    const qint64 top = std::abs(ratio.numerator);
    const qint64 bottom = std::abs(ratio.denominator);
    const qint64 hundredths = (200 * top + bottom) / (2 * bottom);
    return QStringLiteral("%1%2.%3")
        .arg(negative && hundredths > 0 ? QStringLiteral("-") : QString())
        .arg(hundredths / 100)
        .arg(hundredths % 100, 2, 10, QLatin1Char('0'));
}

QStringList headers()
{
    const char *const context = "LabelAgreement";
    return {QCoreApplication::translate(context, "双标图片数"),
            QCoreApplication::translate(context, "双标占比"),
            QCoreApplication::translate(context, "一致率"),
            QCoreApplication::translate(context, "κ"),
            QCoreApplication::translate(context, "PABAK")};
}

QStringList cells(const AgreementCounts &counts)
{
    QString kappaCell = text(kappa(counts));
    if (!enough(counts))
        kappaCell += u' ' + insufficientText();
    return {QString::number(counts.images), text(share(counts)), text(observed(counts)), kappaCell,
            text(pabak(counts))};
}

QString insufficientText()
{
    return QCoreApplication::translate("LabelAgreement", "样本不足");
}

} // namespace LabelAgreement
