#include "classifier.h"
#include "labelcatalogue.h"
#include "predictionstore.h"
#include "suggestions.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

// What an in-memory store holds, shared with the test after the facade went.
struct Memory
{
    QMutex mutex;
    // By model name and digest, then by file name.
    QHash<QString, QHash<QString, PredictionStore::Entry>> models;
    QList<QStringList> claims;
    // Names another program has claimed: claim() gives them to nobody here.
    QStringList elsewhere;
    int writes = 0;
    QByteArray weights;
    // Which store holds the turn to train; empty: none.
    QString turnHolder;
};

class MemoryStore final : public PredictionStore
{
public:
    explicit MemoryStore(std::shared_ptr<Memory> memory) : memory(std::move(memory)) {}

    bool open(const QString &modelName, const QByteArray &sha256, QString *) override
    {
        model = modelName + QLatin1Char(':') + QString::fromLatin1(sha256.toHex());
        return true;
    }
    QHash<QString, Entry> readAll(QString *) override
    {
        const QMutexLocker lock(&memory->mutex);
        return memory->models.value(model);
    }
    bool write(const QList<Entry> &entries, QString *) override
    {
        const QMutexLocker lock(&memory->mutex);
        for (const Entry &entry : entries)
            memory->models[model].insert(entry.fileName, entry);
        ++memory->writes;
        return true;
    }
    QStringList claim(const QStringList &names, QString *) override
    {
        const QMutexLocker lock(&memory->mutex);
        memory->claims.append(names);
        QStringList taken = names;
        for (const QString &name : memory->elsewhere)
            taken.removeAll(name);
        return taken;
    }
    QByteArray readWeights(QString *) override
    {
        const QMutexLocker lock(&memory->mutex);
        return memory->weights;
    }
    bool writeWeights(const QByteArray &weights, QString *) override
    {
        const QMutexLocker lock(&memory->mutex);
        memory->weights = weights;
        return true;
    }
    bool takeTrainingTurn(int, QString *) override
    {
        const QMutexLocker lock(&memory->mutex);
        if (!memory->turnHolder.isEmpty() && memory->turnHolder != me)
            return false;
        memory->turnHolder = me;
        return true;
    }
    void giveTrainingTurn() override
    {
        const QMutexLocker lock(&memory->mutex);
        if (memory->turnHolder == me)
            memory->turnHolder.clear();
    }

private:
    std::shared_ptr<Memory> memory;
    QString model;
    const QString me = QString::number(quintptr(this));
};

QString labelOf(const QString &code)
{
    for (const QString &label : labelCatalogue()) {
        if (labelCode(label) == code)
            return label;
    }
    return QString();
}

int indexOf(const QString &code)
{
    return int(labelCatalogue().indexOf(labelOf(code)));
}

// A model that gives RO to a red picture and FS to a blue one.
QString makeModel(const QString &base, QJsonObject recipe = {})
{
    if (!recipe.contains(QLatin1String("labels")))
        recipe.insert(QStringLiteral("labels"), QJsonArray{QStringLiteral("RO"), QStringLiteral("FS")});
    if (!recipe.contains(QLatin1String("weights")))
        recipe.insert(QStringLiteral("weights"), QJsonArray{QJsonArray{8, 0, -8}, QJsonArray{-8, 0, 8}});
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(MAKE_MODEL), base,
                  QString::fromUtf8(QJsonDocument(recipe).toJson(QJsonDocument::Compact))});
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        qWarning() << python.readAllStandardError();
    return base + QStringLiteral(".onnx");
}

void writePicture(const QString &path, QColor colour, int side = 16)
{
    QImage picture(side, side, QImage::Format_RGB32);
    picture.fill(colour);
    QVERIFY(picture.save(path));
}

} // namespace

class SuggestionsTest final : public QObject
{
    Q_OBJECT

private slots:
    void aRedPictureAndABluePictureGetTheirLabels_data();
    void aRedPictureAndABluePictureGetTheirLabels();
    void theInputIsNormalisedAndTheFeaturesFitAnEntry();
    void aRefusedModelChangesNothing_data();
    void aRefusedModelChangesNothing();
    void anOutputOfTheWrongSizeLetsTheModelGo();
    void storedPredictionsAreAnsweredUntilTheImageChanges();
    void anImageAnotherProgramClaimedIsTakenInOrPredictedLater();
    void theShownImageGoesFirstAndUndecodablePicturesGetNone();
    void predictingFromTheCommandLineRefusesInOneLine();
    void aProgramRefusedTheTurnToTrainTakesTheWeightsAnotherStored();
    void theFiguresFollowANewPredictionOfAMarkedImage();
};

void SuggestionsTest::aRedPictureAndABluePictureGetTheirLabels_data()
{
    QTest::addColumn<QString>("activation");
    QTest::newRow("probabilities") << QStringLiteral("none");
    QTest::newRow("logits") << QStringLiteral("sigmoid");
}

void SuggestionsTest::aRedPictureAndABluePictureGetTheirLabels()
{
    QFETCH(QString, activation);
    QTemporaryDir dir;
    writePicture(dir.filePath(QStringLiteral("blue.png")), Qt::blue);
    writePicture(dir.filePath(QStringLiteral("grey.png")), QColor(128, 128, 128));
    writePicture(dir.filePath(QStringLiteral("red.png")), Qt::red);
    const QString model = makeModel(
        dir.filePath(QStringLiteral("tiny")),
        {{QStringLiteral("activation"), activation}, {QStringLiteral("features"), true},
         {QStringLiteral("thresholds"), QJsonObject{{QStringLiteral("FS"), 0.9}}}});
    auto memory = std::make_shared<Memory>();
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>(memory));
    suggestions.setListed(dir.path(), {"blue.png", "grey.png", "red.png"});
    QString error;
    QVERIFY2(suggestions.loadModel(model, &error), qPrintable(error));
    QCOMPARE(suggestions.modelName(), QStringLiteral("tiny"));
    QCOMPARE(suggestions.thresholds().at(indexOf("FS")), 0.9f);
    QCOMPARE(suggestions.thresholds().at(indexOf("RO")), 0.5f);
    QVERIFY(std::isnan(suggestions.thresholds().at(indexOf("OS"))));
    QTRY_COMPARE(suggestions.predictedCount(), 3);

    QCOMPARE(suggestions.suggested(QStringLiteral("red.png")), QStringList{labelOf("RO")});
    QCOMPARE(suggestions.suggested(QStringLiteral("blue.png")), QStringList{labelOf("FS")});
    const QList<float> red = *suggestions.probabilities(QStringLiteral("red.png"));
    QVERIFY(red.at(indexOf("RO")) > 0.99f && red.at(indexOf("FS")) < 0.01f);
    QVERIFY(std::isnan(red.at(indexOf("OS"))));
    // Grey sits at 0.5 for both: nearest RO's threshold, the least sure.
    QCOMPARE(suggestions.suggested(QStringLiteral("grey.png")), QStringList{labelOf("RO")});
    QVERIFY(*suggestions.certainty(QStringLiteral("grey.png")) < 0.05f);
    QCOMPARE(suggestions.leastSure([](qsizetype) { return true; }), 1);
    QCOMPARE(suggestions.leastSure([](qsizetype position) { return position != 1; }), 0);
    QVERIFY(!suggestions.probabilities(QStringLiteral("other.png")));

    // Stored with the file's stamp and the embedding, under the model's digest.
    QTRY_COMPARE(memory->models.size(), 1);
    QTRY_COMPARE(memory->models.begin().value().size(), 3);
    const PredictionStore::Entry stored = memory->models.begin().value().value(QStringLiteral("red.png"));
    QCOMPARE(stored.size, QFileInfo(dir.filePath(QStringLiteral("red.png"))).size());
    QCOMPARE(stored.values.size(), labelCatalogue().size());
    QCOMPARE(stored.features.size(), 4 + 3);
}

void SuggestionsTest::theInputIsNormalisedAndTheFeaturesFitAnEntry()
{
    QTemporaryDir dir;
    writePicture(dir.filePath(QStringLiteral("red.png")), Qt::red);
    // Red less a mean of red is nothing: both labels at exactly 0.5.
    const QString model = makeModel(
        dir.filePath(QStringLiteral("tiny")),
        {{QStringLiteral("description"),
          QJsonObject{{"input", QJsonObject{{"width", 8}, {"height", 8}, {"mean", QJsonArray{1, 0, 0}},
                                            {"std", QJsonArray{2, 2, 2}}}}}}});
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>(std::make_shared<Memory>()));
    suggestions.setListed(dir.path(), {"red.png"});
    QVERIFY(suggestions.loadModel(model, nullptr));
    QTRY_COMPARE(suggestions.predictedCount(), 1);
    QStringList both;
    for (const QString &label : labelCatalogue()) {
        if (labelCode(label) == QLatin1String("RO") || labelCode(label) == QLatin1String("FS"))
            both.append(label);
    }
    QCOMPARE(suggestions.suggested(QStringLiteral("red.png")), both);
    QCOMPARE(*suggestions.certainty(QStringLiteral("red.png")), 0.f);

    // MobileNetV2's 1280 pooled values in 512 bytes, their shape kept.
    std::vector<float> values(1280);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = float(i) / 1280.f - 0.25f;
    const QByteArray packed = ModelFeatures::pack(values.data(), qsizetype(values.size()));
    QCOMPARE(packed.size(), 512);
    const QList<float> unpacked = ModelFeatures::unpack(packed);
    QCOMPARE(unpacked.size(), 508);
    QVERIFY(std::abs(unpacked.first() - values.front()) < 0.01f);
    QVERIFY(std::abs(unpacked.last() - values.back()) < 0.01f);
    const float three[] = {0.5f, -1.f, 0.f};
    const QList<float> few = ModelFeatures::unpack(ModelFeatures::pack(three, 3));
    QCOMPARE(few.size(), 3);
    for (int i = 0; i < 3; ++i)
        QVERIFY(std::abs(few.at(i) - three[i]) < 0.01f);
}

void SuggestionsTest::aRefusedModelChangesNothing_data()
{
    QTest::addColumn<QJsonObject>("description");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no width") << QJsonObject{{"input", QJsonObject{{"height", 8}}}}
                              << QStringLiteral("模型说明文件有误：input.width");
    QTest::newRow("outside the catalogue") << QJsonObject{{"labels", QJsonArray{"RO", "XX"}}}
                                           << QStringLiteral("模型说明文件有误：labels: XX");
    QTest::newRow("twice") << QJsonObject{{"labels", QJsonArray{"RO", "RO"}}}
                           << QStringLiteral("模型说明文件有误：labels: RO");
    QTest::newRow("activation") << QJsonObject{{"activation", "softmax"}}
                                << QStringLiteral("模型说明文件有误：activation");
    QTest::newRow("threshold") << QJsonObject{{"thresholds", QJsonObject{{"OS", 0.3}}}}
                               << QStringLiteral("模型说明文件有误：thresholds: OS");
    QTest::newRow("no such output") << QJsonObject{{"output", "nothing"}}
                                    << QStringLiteral("模型说明文件有误：output: nothing");
    QTest::newRow("no description") << QJsonObject{{"delete", true}}
                                    << QStringLiteral("缺少模型说明文件：%1");
    QTest::newRow("clip of opset 11")
        << QJsonObject{{"clip", true}}
        << QStringLiteral("无法载入模型：%2: Node [Clip@ai.onnx]:(onnx_node_output_0!probs) parse error"
                          "（OpenCV 4.6 不能读取以输入给出 min/max 的 Clip，即 opset 11 及以后的 Clip："
                          "请以 opset 10 导出，或以 ReLU 代替 ReLU6）");
    QTest::newRow("unreadable") << QJsonObject{{"garbage", true}} << QStringLiteral("无法载入模型：%2: ");
}

void SuggestionsTest::aRefusedModelChangesNothing()
{
    QFETCH(QJsonObject, description);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString good = makeModel(dir.filePath(QStringLiteral("good")));
    QJsonObject recipe{{QStringLiteral("name"), QStringLiteral("bad")},
                       {QStringLiteral("description"), description}};
    if (description.contains(QLatin1String("clip")))
        recipe = {{QStringLiteral("clip"), true}};
    const QString bad = makeModel(dir.filePath(QStringLiteral("bad")), recipe);
    const QString json = dir.filePath(QStringLiteral("bad.json"));
    if (description.contains(QLatin1String("delete")))
        QFile::remove(json);
    if (description.contains(QLatin1String("garbage"))) {
        QFile onnx(bad);
        QVERIFY(onnx.open(QIODevice::WriteOnly | QIODevice::Truncate));
        onnx.write("not a model at all");
    }
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>(std::make_shared<Memory>()));
    QString error;
    QVERIFY(suggestions.loadModel(good, &error));
    QSignalSpy changed(&suggestions, &Suggestions::modelChanged);
    QVERIFY(!suggestions.loadModel(bad, &error));
    if (expected.contains(QLatin1String("%2")))
        QVERIFY2(error.startsWith(QString(expected).replace(QLatin1String("%2"),
                                                             QDir::toNativeSeparators(bad))),
                 qPrintable(error));
    else if (expected.contains(QLatin1String("%1")))
        QCOMPARE(error, expected.arg(QDir::toNativeSeparators(json)));
    else
        QCOMPARE(error, expected);
    QCOMPARE(suggestions.modelName(), QStringLiteral("tiny"));
    QCOMPARE(changed.count(), 0);
}

void SuggestionsTest::anOutputOfTheWrongSizeLetsTheModelGo()
{
    QTemporaryDir dir;
    writePicture(dir.filePath(QStringLiteral("a.png")), Qt::red);
    const QString model =
        makeModel(dir.filePath(QStringLiteral("wide")), {{QStringLiteral("outputs"), 3}});
    auto memory = std::make_shared<Memory>();
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>(memory));
    suggestions.setListed(dir.path(), {"a.png"});
    QSignalSpy refused(&suggestions, &Suggestions::modelRefused);
    QString error;
    QVERIFY(suggestions.loadModel(model, &error));
    QTRY_COMPARE(refused.count(), 1);
    QCOMPARE(refused.at(0).at(0).toString(),
             QStringLiteral("模型的输出与说明文件不符：probs 为每张图片给出 3 个值，说明文件列出 2 个标签"));
    QVERIFY(!suggestions.hasModel());
    QVERIFY(suggestions.thresholds().isEmpty());
    QCOMPARE(memory->writes, 0);
}

void SuggestionsTest::anImageAnotherProgramClaimedIsTakenInOrPredictedLater()
{
    QTemporaryDir dir;
    writePicture(dir.filePath(QStringLiteral("a.png")), Qt::red);
    writePicture(dir.filePath(QStringLiteral("b.png")), Qt::red);
    writePicture(dir.filePath(QStringLiteral("c.png")), Qt::red);
    const QString model = makeModel(dir.filePath(QStringLiteral("tiny")));
    auto memory = std::make_shared<Memory>();
    memory->elsewhere = QStringList{QStringLiteral("b.png"), QStringLiteral("c.png")};
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>(memory));
    suggestions.setListed(dir.path(), {"a.png", "b.png", "c.png"});
    QVERIFY(suggestions.loadModel(model, nullptr));
    QTRY_COMPARE(suggestions.predictedCount(), 1);

    // The other program stores b as blue and lets c's claim lapse.
    {
        const QMutexLocker lock(&memory->mutex);
        auto &entries = memory->models.begin().value();
        PredictionStore::Entry entry = entries.value(QStringLiteral("a.png"));
        entry.fileName = QStringLiteral("b.png");
        std::swap(entry.values[indexOf("RO")], entry.values[indexOf("FS")]);
        entries.insert(entry.fileName, entry);
        memory->elsewhere.clear();
    }
    QTRY_COMPARE_WITH_TIMEOUT(suggestions.predictedCount(), 3, 30000);
    QCOMPARE(suggestions.suggested(QStringLiteral("b.png")), QStringList{labelOf("FS")});
    QCOMPARE(suggestions.suggested(QStringLiteral("c.png")), QStringList{labelOf("RO")});
}

void SuggestionsTest::storedPredictionsAreAnsweredUntilTheImageChanges()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.png"));
    writePicture(path, Qt::red);
    const QString model = makeModel(dir.filePath(QStringLiteral("tiny")));
    auto memory = std::make_shared<Memory>();
    {
        Suggestions first(labelCatalogue(), std::make_unique<MemoryStore>(memory));
        first.setListed(dir.path(), {"a.png"});
        QVERIFY(first.loadModel(model, nullptr));
        QTRY_COMPARE(first.predictedCount(), 1);
    }
    QCOMPARE(memory->writes, 1);

    // Another program answers from the store, predicting nothing.
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>(memory));
    suggestions.setListed(dir.path(), {"a.png"});
    QVERIFY(suggestions.loadModel(model, nullptr));
    QTRY_COMPARE(suggestions.predictedCount(), 1);
    QCOMPARE(suggestions.suggested(QStringLiteral("a.png")), QStringList{labelOf("RO")});
    QTRY_COMPARE(suggestions.leastSure([](qsizetype) { return true; }), 0);
    QTest::qWait(100);
    QCOMPARE(memory->writes, 1);

    // The picture changed on disk: shown, it is predicted again.
    writePicture(path, Qt::blue, 24);
    QSignalSpy predicted(&suggestions, &Suggestions::predicted);
    suggestions.setShown(0);
    QTRY_COMPARE(predicted.count(), 1);
    QCOMPARE(suggestions.suggested(QStringLiteral("a.png")), QStringList{labelOf("FS")});

    // Another model's predictions are not this one's.
    const QString other = makeModel(dir.filePath(QStringLiteral("other")),
                                    {{QStringLiteral("name"), QStringLiteral("other")}});
    Suggestions third(labelCatalogue(), std::make_unique<MemoryStore>(memory));
    third.setListed(dir.path(), {"a.png"});
    QVERIFY(third.loadModel(other, nullptr));
    qsizetype answeredFromStore = -1;
    connect(&third, &Suggestions::modelChanged, this,
            [&] { answeredFromStore = third.predictedCount(); });
    QTRY_COMPARE(answeredFromStore, 0);

    // Changed while no program ran: the stored prediction is found stale.
    writePicture(path, Qt::red, 32);
    Suggestions fourth(labelCatalogue(), std::make_unique<MemoryStore>(memory));
    fourth.setListed(dir.path(), {"a.png"});
    QVERIFY(fourth.loadModel(model, nullptr));
    QTRY_COMPARE(fourth.suggested(QStringLiteral("a.png")), QStringList{labelOf("RO")});
}

void SuggestionsTest::theShownImageGoesFirstAndUndecodablePicturesGetNone()
{
    QTemporaryDir dir;
    QStringList names;
    for (int i = 0; i < 12; ++i) {
        names.append(QStringLiteral("p%1.png").arg(i, 2, 10, QLatin1Char('0')));
        writePicture(dir.filePath(names.constLast()), i % 2 ? Qt::red : Qt::blue);
    }
    QFile broken(dir.filePath(names.at(3)));
    QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("no picture");
    broken.close();
    const QString model = makeModel(dir.filePath(QStringLiteral("tiny")));
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>(std::make_shared<Memory>()));
    QSignalSpy predicted(&suggestions, &Suggestions::predicted);
    suggestions.setListed(dir.path(), names);
    suggestions.setShown(7);
    QVERIFY(suggestions.loadModel(model, nullptr));
    QTRY_COMPARE(suggestions.predictedCount(), 11);
    QCOMPARE(suggestions.undecodableCount(), 1);
    QVERIFY(!suggestions.probabilities(names.at(3)));
    QStringList order;
    for (const QList<QVariant> &arguments : predicted)
        order += arguments.at(0).toStringList();
    QCOMPARE(order.mid(0, 4), (QStringList{names.at(7), names.at(8), names.at(6), names.at(0)}));
    QCOMPARE(order.size(), 11);
}

void SuggestionsTest::predictingFromTheCommandLineRefusesInOneLine()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("images")));
    writePicture(dir.filePath(QStringLiteral("images/a.png")), Qt::red);
    writePicture(dir.filePath(QStringLiteral("images/b.png")), Qt::blue);
    QFile broken(dir.filePath(QStringLiteral("images/c.png")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("no picture");
    broken.close();
    const QString model = makeModel(dir.filePath(QStringLiteral("tiny")));
    const QString annotations = dir.filePath(QStringLiteral("labels.csv"));
    const auto run = [&](const QStringList &arguments, QByteArray *out, QByteArray *err) {
        QProcess program;
        program.start(QStringLiteral(NORVANTA_PROGRAM), arguments);
        program.waitForFinished(60000);
        *out = program.readAllStandardOutput();
        *err = program.readAllStandardError();
        return program.exitCode();
    };
    QByteArray out;
    QByteArray err;
    const QString images = dir.filePath(QStringLiteral("images"));
    QCOMPARE(run({"--predict", model, annotations, images}, &out, &err), 0);
    QVERIFY2(out.endsWith("已存入 2 张图片的预测，1 张无法解码。\n"), out.constData());
    QVERIFY(out.contains("已预测 3 / 3 张（100%）"));

    QFile::remove(dir.filePath(QStringLiteral("tiny.json")));
    QCOMPARE(run({"--predict", model, annotations, images}, &out, &err), 2);
    QCOMPARE(QString::fromUtf8(err), QStringLiteral("norvanta: 缺少模型说明文件：%1\n")
                                         .arg(dir.filePath(QStringLiteral("tiny.json"))));
    QCOMPARE(run({"--predict", model, annotations}, &out, &err), 2);
    QCOMPARE(err.count('\n'), 1);
}

void SuggestionsTest::aProgramRefusedTheTurnToTrainTakesTheWeightsAnotherStored()
{
    // 24 reddish pictures saved RO, 24 bluish ones saved FS, and an unmarked
    // red one, seen by a model that says nothing but their mean colour.
    QTemporaryDir dir;
    QStringList names;
    std::vector<AnnotationStore::RowFacts> facts;
    for (int i = 0; i < 48; ++i) {
        const bool red = i % 2 == 0;
        names << QStringLiteral("m%1.png").arg(i);
        writePicture(dir.filePath(names.last()),
                     red ? QColor(180 + 3 * i, 10, 20) : QColor(20, 10, 180 + 3 * i));
        facts.push_back({true, true, 1u << indexOf(red ? u"RO"_qs : u"FS"_qs)});
    }
    names << QStringLiteral("u_red.png");
    writePicture(dir.filePath(names.last()), QColor(200, 30, 30));
    facts.push_back({false, false, 0});
    const QString model = makeModel(dir.filePath(QStringLiteral("blind")),
                                    {{"weights", QJsonArray{QJsonArray{0, 0, 0}, QJsonArray{0, 0, 0}}},
                                     {"features", true}});
    auto memory = std::make_shared<Memory>();
    Suggestions one(labelCatalogue(), std::make_unique<MemoryStore>(memory));
    Suggestions other(labelCatalogue(), std::make_unique<MemoryStore>(memory));
    for (Suggestions *program : {&one, &other}) {
        program->setListed(dir.path(), names);
        QVERIFY(program->loadModel(model, nullptr));
        QTRY_COMPARE_WITH_TIMEOUT(program->predictedCount(), 49, 20000);
    }
    QSignalSpy changed(&one, &Suggestions::modelChanged);
    one.retrain(facts);
    QTRY_VERIFY_WITH_TIMEOUT(!one.isTraining() && !changed.isEmpty(), 20000);
    QCOMPARE(one.suggested(u"u_red.png"_qs), QStringList{labelOf(u"RO"_qs)});
    const auto turnGivenBack = [&memory] {
        const QMutexLocker lock(&memory->mutex);
        return !memory->weights.isEmpty() && memory->turnHolder.isEmpty();
    };
    QTRY_VERIFY(turnGivenBack()); // once the weights are stored

    // Another program trains now: this one does not, and answers with the
    // weights stored.
    {
        const QMutexLocker lock(&memory->mutex);
        memory->turnHolder = QStringLiteral("elsewhere");
    }
    QCOMPARE(other.suggested(u"u_red.png"_qs).size(), 2);
    QSignalSpy otherChanged(&other, &Suggestions::modelChanged);
    other.retrain(facts);
    QVERIFY(other.isTraining());
    QTRY_VERIFY_WITH_TIMEOUT(!other.isTraining() && !otherChanged.isEmpty(), 20000);
    QCOMPARE(other.suggested(u"u_red.png"_qs), QStringList{labelOf(u"RO"_qs)});
    QVERIFY(other.learnt() && other.learnt()->crossValidated.empty());
}

void SuggestionsTest::theFiguresFollowANewPredictionOfAMarkedImage()
{
    QTemporaryDir dir;
    writePicture(dir.filePath(QStringLiteral("a.png")), Qt::red);
    writePicture(dir.filePath(QStringLiteral("b.png")), Qt::blue);
    Suggestions suggestions(labelCatalogue(), std::make_unique<MemoryStore>(std::make_shared<Memory>()));
    suggestions.setListed(dir.path(), {"a.png", "b.png"});
    QVERIFY(suggestions.loadModel(makeModel(dir.filePath(QStringLiteral("tiny"))), nullptr));
    QTRY_COMPARE(suggestions.predictedCount(), 2);
    const int ro = indexOf(u"RO"_qs);
    // Both saved RO: the red one as suggested, the blue one against it.
    const std::vector<AnnotationStore::RowFacts> facts{{true, true, 1u << ro}, {true, true, 1u << ro}};
    const auto roFigures = [&] {
        suggestions.assess(facts);
        for (const LabelQuality &q : suggestions.assessment().table)
            if (q.label == ro)
                return q;
        return LabelQuality();
    };
    QCOMPARE(roFigures().recall, 0.5);
    QCOMPARE(suggestions.doubtfulPositions(), std::vector<qint32>{1});

    // The red picture turns blue: its new prediction counts, not the former.
    writePicture(dir.filePath(QStringLiteral("a.png")), Qt::blue, 24);
    QSignalSpy predicted(&suggestions, &Suggestions::predicted);
    suggestions.setShown(0);
    QTRY_COMPARE(predicted.count(), 1);
    QCOMPARE(roFigures().recall, 0.0);
    QCOMPARE(roFigures().withLabel, qsizetype(2));
    QCOMPARE(suggestions.doubtfulPositions(), (std::vector<qint32>{0, 1}));
}

QTEST_MAIN(SuggestionsTest)
#include "tst_suggestions.moc"
