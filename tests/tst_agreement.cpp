// How far two people agree, per label: the figures of a small table worked
// out by hand.
#include "labelagreement.h"

#include <QTest>

#include <cmath>

class AgreementTest final : public QObject
{
    Q_OBJECT

private slots:
    void figuresMatchTheHandWorkedTable_data();
    void figuresMatchTheHandWorkedTable();
    void nothingIsComputableWithoutDoublyLabelledImages();
};

namespace {

// 40 images, five labels: 0 common; 1 rare in exactly five images; 2 rare in
// four; 3 set by nobody; 4 set by both everywhere.
AgreementTally handTable()
{
    AgreementTally tally(5);
    for (int i = 0; i < 40; ++i) {
        quint32 first = 1u << 4;
        quint32 second = 1u << 4;
        first |= i < 15 ? 1u : 0u;
        second |= i < 12 || i == 15 ? 1u : 0u;
        first |= i == 20 || i == 21 || i == 22 ? 2u : 0u;
        second |= i == 20 || i == 23 || i == 24 ? 2u : 0u;
        first |= i == 30 || i == 31 ? 4u : 0u;
        second |= i == 32 || i == 33 ? 4u : 0u;
        tally.add(first, second);
    }
    return tally;
}

} // namespace

void AgreementTest::figuresMatchTheHandWorkedTable_data()
{
    QTest::addColumn<int>("label");
    QTest::addColumn<QStringList>("cells");
    // a=12 b=3 c=1 d=24: p_o=36/40, p_e=(15·13+25·27)/1600=870/1600,
    // κ=570/730=0.780..
    QTest::newRow("common") << 0 << QStringList{u"40"_qs, u"0.35"_qs, u"0.90"_qs, u"0.78"_qs, u"0.80"_qs};
    // a=1 b=2 c=2 d=35: κ=(1440−1378)/(1600−1378)=0.279..; share 6/80 is a
    // half, rounded up.
    QTest::newRow("rare, five images") << 1 << QStringList{u"40"_qs, u"0.08"_qs, u"0.90"_qs, u"0.28"_qs, u"0.80"_qs};
    // a=0 b=2 c=2 d=36: κ=(1440−1448)/(1600−1448)=−0.052..: κ collapses
    // below chance while the two agree on nine images in ten.
    QTest::newRow("rare, four images") << 2 << QStringList{u"40"_qs, u"0.05"_qs, u"0.90"_qs, u"-0.05 样本不足"_qs, u"0.80"_qs};
    // p_e = 1 both ways: no κ.
    QTest::newRow("set by nobody") << 3 << QStringList{u"40"_qs, u"0.00"_qs, u"1.00"_qs, u"— 样本不足"_qs, u"1.00"_qs};
    QTest::newRow("set everywhere") << 4 << QStringList{u"40"_qs, u"1.00"_qs, u"1.00"_qs, u"—"_qs, u"1.00"_qs};
}

void AgreementTest::figuresMatchTheHandWorkedTable()
{
    QFETCH(int, label);
    QFETCH(QStringList, cells);
    const AgreementTally tally = handTable();
    QCOMPARE(LabelAgreement::cells(tally.counts(label)), cells);
    QCOMPARE(LabelAgreement::headers().size(), cells.size());
}

void AgreementTest::nothingIsComputableWithoutDoublyLabelledImages()
{
    AgreementTally tally = handTable();
    tally.clear();
    QCOMPARE(LabelAgreement::cells(tally.counts(0)),
             (QStringList{u"0"_qs, u"—"_qs, u"—"_qs, u"— 样本不足"_qs, u"—"_qs}));
    QVERIFY(std::isnan(LabelAgreement::kappa(tally.counts(0)).value()));
}

QTEST_MAIN(AgreementTest)
#include "tst_agreement.moc"
