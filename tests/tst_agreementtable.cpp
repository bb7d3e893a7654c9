// The dataset window's agreement columns and its filter 标注不一致, on the
// two labellings a team's dataset gives for its listed images.
#include "datasetfilter.h"
#include "labelagreement.h"
#include "labelcatalogue.h"
#include "labelstatisticsmodel.h"

#include <QTest>

namespace {

using Pair = std::optional<AnnotationStore::DoubleLabels>;

// A team's dataset as the window reads it, with the two labellings of
// each listed image set by the test.
class PairsSource final : public DatasetSource
{
public:
    explicit PairsSource(const std::vector<Pair> &pairs)
        : pairs(pairs)
        , rows(pairs.size())
    {
        for (std::size_t i = 0; i < pairs.size(); ++i)
            listed << QStringLiteral("%1.png").arg(i);
    }
    QStringList catalogue() const override { return labelCatalogue(); }
    QString annotationPath() const override { return QString(); }
    const QStringList &names() const override { return listed; }
    quint64 listing() const override { return 1; }
    int currentIndex() const override { return -1; }
    ImageFacts factsAt(qsizetype position) const override { return rows.at(position); }
    const std::vector<ImageFacts> &facts() const override { return rows; }
    qsizetype markedCount() const override { return 0; }
    qsizetype labelCount(int) const override { return 0; }
    bool knowsWhoSaved() const override { return team; }
    Pair doubleLabelsAt(qsizetype position) const override { return pairs.at(position); }
    void refresh() override {}

    std::vector<Pair> pairs;
    bool team = true;

private:
    QStringList listed;
    std::vector<ImageFacts> rows;
};

AnnotationStore::DoubleLabels pair(quint32 first, quint32 second, bool settled = false)
{
    return {first, second, settled};
}

QStringList agreementCells(const LabelStatisticsModel &model, int label)
{
    QStringList cells;
    for (int column = LabelStatisticsModel::Doubled; column < LabelStatisticsModel::ColumnCount;
         ++column)
        cells << model.index(label, column).data().toString();
    return cells;
}

} // namespace

class AgreementTableTest final : public QObject
{
    Q_OBJECT

private slots:
    void theTableFollowsEachChangedPairAsAFreshPassWould();
    void theFilterWalksTheUnsettledPairsThatDiffer();
};

void AgreementTableTest::theTableFollowsEachChangedPairAsAFreshPassWould()
{
    PairsSource source({pair(1, 1), pair(3, 1), std::nullopt, pair(0, 4), pair(2, 2, true)});
    LabelStatisticsModel model(source, labelCatalogue());
    model.doubleLabelsChanged();
    QVERIFY(model.hasDoubleLabels());
    QCOMPARE(model.headerData(LabelStatisticsModel::Kappa, Qt::Horizontal).toString(), u"κ"_qs);
    // Label 1: a=1 b=1 c=0 d=2 of 4; κ=(4·3−8)/(16−8); share 3/8 rounds up.
    QCOMPARE(agreementCells(model, 1),
             (QStringList{u"4"_qs, u"0.38"_qs, u"0.75"_qs, u"0.50 样本不足"_qs, u"0.50"_qs}));

    // A save changes one image's pair, another's appears, a third goes.
    source.pairs[1] = pair(1, 1);
    model.doubleLabelsChanged(1);
    source.pairs[2] = pair(2, 0);
    model.doubleLabelsChanged(2);
    source.pairs[3] = std::nullopt;
    model.doubleLabelsChanged(3);
    LabelStatisticsModel fresh(source, labelCatalogue());
    fresh.doubleLabelsChanged();
    for (int label = 0; label < 3; ++label)
        QCOMPARE(agreementCells(model, label), agreementCells(fresh, label));
    QCOMPARE(agreementCells(model, 0).first(), u"4"_qs);

    // A file keeps no second rows.
    source.team = false;
    model.doubleLabelsChanged();
    QVERIFY(!model.hasDoubleLabels());
}

// What Alt+Right and Alt+Left step through: equal pairs, settled ones and
// images labelled once are passed over.
void AgreementTableTest::theFilterWalksTheUnsettledPairsThatDiffer()
{
    const PairsSource source({pair(1, 1), pair(3, 1), std::nullopt, pair(0, 4, true), pair(0, 4)});
    DatasetFilter filter;
    filter.review = DatasetFilter::Differing;
    QCOMPARE(filter.keptPositions(source), (std::vector<int>{1, 4}));
    QCOMPARE(filter.nearestKept(source, -1, 1), 1);
    QCOMPARE(filter.nearestKept(source, 1, 1), 4);
    QCOMPARE(filter.nearestKept(source, 4, 1), -1);
    QCOMPARE(filter.nearestKept(source, 5, -1), 4);
    QCOMPARE(filter.nearestKept(source, 1, -1), -1);
    QVERIFY(!filter.keepsEverything());
    filter.nameText = u"4."_qs;
    QCOMPARE(filter.keptPositions(source), (std::vector<int>{4}));
}

QTEST_MAIN(AgreementTableTest)
#include "tst_agreementtable.moc"
