#include "annotationformat.h"
#include "backgroundtraining.h"
#include "classifier.h"
#include "labelcatalogue.h"
#include "labellearning.h"
#include "labelquality.h"
#include "predictionstore.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <random>

// Pictures whose labels follow their colour, seen through a model that says
// nothing (0.5 for every label) and whose embedding is the mean colour: all
// the suggestions know comes from the labels saved.

namespace {

constexpr int labelCount = 19;
constexpr int red = 0, blue = 1, rare = 2;

struct Colour
{
    float r, g, b;
};

// `count` pictures alternating red and blue around their colour; a red one
// is saved with `red`, a blue one with `blue`, every seventh of the first
// 35 also with `rare`.
MarkedImages colourImages(int count, bool swapped = false)
{
    MarkedImages images;
    images.labelCount = labelCount;
    images.width = 3;
    std::mt19937 random(12345u);
    std::uniform_real_distribution<float> noise(-0.15f, 0.15f);
    for (int i = 0; i < count; ++i) {
        const bool isRed = i % 2 == 0;
        const Colour c = isRed ? Colour{0.8f, 0.2f, 0.2f} : Colour{0.2f, 0.2f, 0.8f};
        images.names << QStringLiteral("p%1.jpg").arg(i);
        for (const float v : {c.r, c.g, c.b})
            images.embeddings.push_back(v + noise(random));
        quint32 flags = 1u << ((isRed != swapped) ? red : blue);
        if (i < 35 && i % 7 == 0)
            flags |= 1u << rare;
        images.flags.push_back(flags);
        images.model.insert(images.model.end(), labelCount, 0.5f);
    }
    return images;
}

const std::vector<float> noThresholds(labelCount, NAN);

LearningResult trained(const MarkedImages &images)
{
    const std::atomic<bool> running(false);
    const std::optional<LearningResult> result = LabelLearning::train(images, noThresholds, running);
    Q_ASSERT(result);
    return *result;
}

} // namespace

class LearningTest final : public QObject
{
    Q_OBJECT

private slots:
    void trainedLabelsSuggestTheColourOfUnseenPicturesAndSurviveTheirBytes();
    void tableFiguresAreThoseTheProbabilitiesMake();
    void aPictureSavedAgainstTheRuleHeadsTheDoubtfulUntilSavedAsSuggested();
    void aTallyChangedImageByImageEqualsOneCountedAnew();
    void backgroundTrainingDeliversOnlyTheLatestStart();
    void doubtfulCommandListsThePictureSavedAgainstTheRule();
};

void LearningTest::trainedLabelsSuggestTheColourOfUnseenPicturesAndSurviveTheirBytes()
{
    const MarkedImages images = colourImages(80);
    const LearningResult result = trained(images);
    // Red and blue have 40 each way; the rare label 5 with it: untrained.
    QCOMPARE(int(result.trained.labels.size()), 2);
    QVERIFY(!result.trained.find(rare));
    for (const int label : {red, blue}) {
        const TrainedLabel *t = result.trained.find(label);
        QVERIFY(t);
        QVERIFY(t->replacesModel);
        QVERIFY(t->trainedF1 > 0.95);
        QVERIFY(qAbs(t->modelF1 - 2.0 / 3.0) < 1e-9); // 0.5 suggests all: P 1/2, R 1
    }
    const float unseenRed[] = {0.75f, 0.25f, 0.15f};
    const float unseenBlue[] = {0.25f, 0.15f, 0.85f};
    QVERIFY(result.trained.probability(red, unseenRed) > 0.9f);
    QVERIFY(result.trained.probability(blue, unseenRed) < 0.1f);
    QVERIFY(result.trained.probability(red, unseenBlue) < 0.1f);
    QVERIFY(std::isnan(result.trained.probability(rare, unseenBlue)));

    const std::optional<TrainedLabels> back = TrainedLabels::fromBytes(result.trained.toBytes());
    QVERIFY(back);
    std::vector<float> p(labelCount, 0.5f);
    QCOMPARE(back->improve(p.data(), unseenBlue), (1u << red) | (1u << blue));
    QCOMPARE(p[red], result.trained.probability(red, unseenBlue));
    QCOMPARE(p[rare], 0.5f);
    QVERIFY(!TrainedLabels::fromBytes(result.trained.toBytes().chopped(1)));
    QVERIFY(!TrainedLabels::fromBytes(QByteArray("not weights")));

    const std::atomic<bool> cancelled(true);
    QVERIFY(!LabelLearning::train(images, noThresholds, cancelled));
}

void LearningTest::tableFiguresAreThoseTheProbabilitiesMake()
{
    // 30 pictures: 20 have label 0, suggested at 0.8 (15) or 0.3 (5); of
    // the 10 without it, 4 are at 0.6 and 6 at 0.1. Label 1: 10 have it.
    MarkedImages images;
    images.labelCount = 3;
    for (int i = 0; i < 30; ++i) {
        images.names << QString::number(i);
        const bool has = i < 20;
        images.flags.push_back((has ? 1u : 0u) | (i < 10 ? 2u : 0u));
        const float p = i < 15 ? 0.8f : i < 20 ? 0.3f : i < 24 ? 0.6f : 0.1f;
        images.model.insert(images.model.end(), {p, 0.7f, NAN});
    }
    const std::vector<LabelQuality> table =
        LabelQualities::assess(images, nullptr, {NAN, 0.5f, NAN}).table;
    QCOMPARE(int(table.size()), 2); // label 2 has no probability anywhere
    const LabelQuality &q = table[0];
    QCOMPARE(q.withLabel, qsizetype(20));
    QVERIFY(q.enough);
    QVERIFY(!q.trained);
    // At 0.5: 15 right, 4 wrongly suggested, 5 missed.
    QCOMPARE(q.precision, 15.0 / 19.0);
    QCOMPARE(q.recall, 0.75);
    QCOMPARE(q.f1, 30.0 / 39.0);
    QCOMPARE(q.f2, 75.0 / 99.0);
    // F2 is highest (100/104) from just above 0.1 up to 0.3.
    QCOMPARE(q.suggestedThreshold, 0.3f);
    QCOMPARE(table[1].label, 1);
    QCOMPARE(table[1].withLabel, qsizetype(10));
    QVERIFY(!table[1].enough);
    QCOMPARE(LabelQualities::insufficientText(), QStringLiteral("样本不足"));
}

void LearningTest::aPictureSavedAgainstTheRuleHeadsTheDoubtfulUntilSavedAsSuggested()
{
    MarkedImages images = colourImages(80);
    const int wrong = 10; // a red picture, saved blue and not red
    images.flags[wrong] = 1u << blue;
    const LearningResult result = trained(images);
    const Assessment assessment = LabelQualities::assess(images, &result, noThresholds);
    const std::vector<DoubtfulImage> &doubtful = assessment.doubtful;
    QVERIFY(!doubtful.empty());
    QCOMPARE(doubtful.front().image, qsizetype(wrong));
    QVERIFY(doubtful.front().score < LabelQualities::doubtfulBelow);
    QCOMPARE(int(doubtful.front().labels.size()), 2);
    for (const DoubtfulLabel &d : doubtful.front().labels)
        QCOMPARE(d.saved, d.label == blue);
    for (size_t k = 1; k < doubtful.size(); ++k)
        QVERIFY(doubtful[k - 1].score <= doubtful[k].score);

    const std::vector<LabelQuality> &table = assessment.table;
    QCOMPARE(LabelQualities::suggestionProbability(images, &result, wrong, red),
             result.crossValidated[wrong * labelCount + red]);
    QVERIFY(table[red].trained && table[red].enough);
    QVERIFY(!table[rare].trained && !table[rare].enough);

    images.flags[wrong] = 1u << red; // saved as the suggestion has it
    for (const DoubtfulImage &d : LabelQualities::assess(images, &result, noThresholds).doubtful)
        QVERIFY(d.image != wrong);
}

void LearningTest::aTallyChangedImageByImageEqualsOneCountedAnew()
{
    MarkedImages images = colourImages(80);
    const LearningResult result = trained(images);
    quint32 replaced = 0;
    for (const TrainedLabel &t : result.trained.labels)
        replaced |= t.replacesModel ? 1u << t.label : 0u;
    const auto row = [&](qsizetype image) {
        std::vector<float> p(labelCount);
        for (int l = 0; l < labelCount; ++l)
            p[l] = LabelQualities::suggestionProbability(images, &result, image, l);
        return p;
    };
    QualityTally tally(labelCount, noThresholds, replaced);
    for (qsizetype i = 0; i < images.count(); ++i)
        tally.add(i, images.flags[i], row(i).data());
    // Saves: two red pictures saved blue, one of them back again, a rare
    // label taken off and one left out of the marked.
    const std::vector<std::pair<qsizetype, quint32>> saves{
        {10, 1u << blue}, {12, 1u << blue}, {10, 1u << red}, {0, 1u << red}};
    for (const auto &[image, flags] : saves) {
        tally.remove(image, images.flags[image], row(image).data());
        images.flags[image] = flags;
        tally.add(image, flags, row(image).data());
    }
    tally.remove(79, images.flags[79], row(79).data());
    const Assessment kept = tally.assessment();
    images.names.removeLast();
    images.flags.pop_back();
    images.model.resize(images.model.size() - labelCount);
    images.embeddings.resize(images.embeddings.size() - 3);
    const Assessment anew = LabelQualities::assess(images, &result, noThresholds);
    QCOMPARE(kept.table.size(), anew.table.size());
    for (std::size_t k = 0; k < kept.table.size(); ++k) {
        const LabelQuality &a = kept.table[k], &b = anew.table[k];
        QCOMPARE(a.label, b.label);
        QCOMPARE(a.withLabel, b.withLabel);
        QCOMPARE(a.trained, b.trained);
        QCOMPARE(a.f2, b.f2);
        QCOMPARE(a.precision, b.precision);
        QCOMPARE(a.suggestedThreshold, b.suggestedThreshold);
    }
    QCOMPARE(kept.doubtful.size(), anew.doubtful.size());
    QCOMPARE(kept.doubtful.front().image, qsizetype(12));
    for (std::size_t k = 0; k < kept.doubtful.size(); ++k) {
        QCOMPARE(kept.doubtful[k].image, anew.doubtful[k].image);
        QCOMPARE(kept.doubtful[k].labels.size(), anew.doubtful[k].labels.size());
    }
}

void LearningTest::backgroundTrainingDeliversOnlyTheLatestStart()
{
    BackgroundTraining training;
    QSignalSpy spy(&training, &BackgroundTraining::trained);
    training.start(colourImages(80), noThresholds);
    training.start(colourImages(80, true), noThresholds); // red now saved blue
    QVERIFY(training.isRunning());
    QTRY_COMPARE(spy.count(), 1);
    QVERIFY(!training.isRunning());
    const auto result = spy.front().front().value<std::shared_ptr<const LearningResult>>();
    const float unseenRed[] = {0.75f, 0.25f, 0.15f};
    QVERIFY(result->trained.probability(blue, unseenRed) > 0.9f);
    QTest::qWait(300); // the first run, cancelled, never answers
    QCOMPARE(spy.count(), 1);
}

void LearningTest::doubtfulCommandListsThePictureSavedAgainstTheRule()
{
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("labels.csv"));
    MarkedImages images = colourImages(80);
    const int wrong = 10;
    images.flags[wrong] = 1u << blue;
    const QStringList catalogue = AnnotationFormat::catalogue();
    QStringList lines{AnnotationFormat::headerRow(catalogue)};
    QList<PredictionStore::Entry> entries;
    for (qsizetype i = 0; i < images.count(); ++i) {
        QStringList labels;
        for (int l = 0; l < labelCount; ++l)
            if (images.saved(i, l))
                labels << catalogue.at(l);
        lines << AnnotationFormat::buildRow(images.names.at(i), catalogue, labels);
        PredictionStore::Entry entry;
        entry.fileName = images.names.at(i);
        entry.values = QList<float>(labelCount, 0.5f);
        entry.features = ModelFeatures::pack(images.embeddings.data() + i * 3, 3);
        entries << entry;
    }
    lines << AnnotationFormat::buildRow(QStringLiteral("unmarked.jpg"), catalogue, {});
    QFile file(csv);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(lines.join(u'\n').toUtf8() + '\n');
    file.close();
    QString error;
    const auto store = PredictionStore::besideFile(csv);
    QVERIFY2(store->open(QStringLiteral("tiny"), QByteArray(32, 'x'), &error), qPrintable(error));
    QVERIFY2(store->write(entries, &error), qPrintable(error));

    QProcess program;
    program.start(QStringLiteral(NORVANTA_PROGRAM), {QStringLiteral("--doubtful"), csv,
                                                     QStringLiteral("--top"), QStringLiteral("1")});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitCode(), 0);
    const QStringList out = QString::fromUtf8(program.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(out.size(), 1);
    const QStringList fields = out.first().split(u'\t');
    QCOMPARE(fields.size(), 3);
    QCOMPARE(fields.at(0), images.names.at(wrong));
    const QStringList codes{labelCode(catalogue.at(red)), labelCode(catalogue.at(blue))};
    for (const QString &field : fields.mid(1))
        QVERIFY2(field.startsWith(codes.at(0) + QStringLiteral("=0 "))
                     || field.startsWith(codes.at(1) + QStringLiteral("=1 ")),
                 qPrintable(field));

    program.start(QStringLiteral(NORVANTA_PROGRAM), {QStringLiteral("--doubtful"), csv,
                                                     QStringLiteral("--top"), QStringLiteral("x")});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitCode(), 2);
}

QTEST_MAIN(LearningTest)
#include "tst_learning.moc"
