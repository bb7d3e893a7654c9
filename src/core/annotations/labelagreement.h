#pragma once

#include <QStringList>

#include <vector>

// How far two people agree, per label, over the images both labelled blind.
// Every figure is a ratio of whole counts, so that it is written exactly,
// rounded half away from zero to two decimals, wherever it is shown: the
// dataset window's table and the command line's print the same cells().

// One label's two-by-two table: of `images` doubly-labelled images, how
// many both rows set it, only the first, only the second (neither: the rest).
struct AgreementCounts
{
    qsizetype images = 0;
    qsizetype both = 0;
    qsizetype firstOnly = 0;
    qsizetype secondOnly = 0;

    qsizetype neither() const { return images - both - firstOnly - secondOnly; }
    // The images where either row sets the label.
    qsizetype withLabel() const { return both + firstOnly + secondOnly; }
};

// A figure as numerator over denominator; a denominator of 0 says the
// figure cannot be computed.
struct AgreementRatio
{
    qint64 numerator = 0;
    qint64 denominator = 0;

    bool computable() const { return denominator != 0; }
    // NaN when not computable.
    double value() const;
};

// The tables of every catalogue label over the same pairs of rows; a pair
// can be taken back out, so that a changed image costs one pair.
class AgreementTally
{
public:
    explicit AgreementTally(int labelCount = 0);

    void add(quint32 first, quint32 second);
    void remove(quint32 first, quint32 second);
    void clear();

    qsizetype images() const { return pairs; }
    int labelCount() const { return int(tables.size()); }
    AgreementCounts counts(int label) const;

private:
    void change(quint32 first, quint32 second, int step);

    struct Table
    {
        qsizetype both = 0, firstOnly = 0, secondOnly = 0;
    };
    std::vector<Table> tables;
    qsizetype pairs = 0;
};

namespace LabelAgreement {

// Below this many images with the label (in either row), its κ is noted as
// resting on too few.
inline constexpr qsizetype minimumWithLabel = 5;

// The share of the 2n judgements that set the label.
AgreementRatio share(const AgreementCounts &counts);
// Raw agreement p_o: the share of images where both rows say the same.
AgreementRatio observed(const AgreementCounts &counts);
// Cohen's κ = (p_o − p_e) / (1 − p_e), p_e from each row's own share of
// the label. Not computable where p_e = 1: both rows say the same of every
// image, so that no agreement beyond chance can be told.
AgreementRatio kappa(const AgreementCounts &counts);
// PABAK = 2·p_o − 1: κ as if the label were as common as its absence and
// both people used it as often.
AgreementRatio pabak(const AgreementCounts &counts);
bool enough(const AgreementCounts &counts);

// "0.85", "-0.05"; "—" when not computable.
QString text(const AgreementRatio &ratio);
// The figures' column names, in the order of cells(): n, share, raw
// agreement, κ, PABAK.
QStringList headers();
// One label's figures as the tables write them; κ's cell carries
// insufficientText() beside it where the label is in too few images.
QStringList cells(const AgreementCounts &counts);
QString insufficientText();

} // namespace LabelAgreement
