// Where predictions are kept: the SQLite file beside an annotation file and
// the table on a team's server (a PostgreSQL server of the test's own), and
// the built program's import and export of them.
#include "annotationformat.h"
#include "pgserver.h"
#include "predictionstore.h"
#include "predictionvalues.h"
#include "teamaddress.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cmath>
#include <limits>

namespace {

constexpr float none = std::numeric_limits<float>::quiet_NaN();

PredictionStore::Entry entry(const QString &name, float first, qint64 size = 10)
{
    PredictionStore::Entry made;
    made.fileName = name;
    made.size = size;
    made.modified = 1765000000123;
    made.values = QList<float>(19, none);
    made.values[0] = first;
    made.values[18] = 1 - first;
    return made;
}

// Writes `count` entries named after `prefix` in batches of 20 on a thread
// of its own, opening the store there.
class Writer final : public QThread
{
public:
    Writer(PredictionStore *store, const QString &prefix, int count)
        : store(store), prefix(prefix), count(count) {}
    QString error;

protected:
    void run() override
    {
        if (!store->open(u"m"_qs, "d1", &error))
            return;
        for (int start = 0; start < count; start += 20) {
            QList<PredictionStore::Entry> batch;
            for (int i = start; i < start + 20; ++i)
                batch << entry(prefix + QString::number(i), 0.5f);
            if (!store->write(batch, &error))
                return;
        }
    }

private:
    PredictionStore *store;
    QString prefix;
    int count;
};

} // namespace

class PredictionStoreTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void aFileIsMadeOnlyWhenOpenedAndKeepsEntriesWithinTheBound();
    void aModelReadsItsOwnEntriesThenImportedOnesOfItsName_data();
    void aModelReadsItsOwnEntriesThenImportedOnesOfItsName();
    void twoStoresWritingOneFileAtOnceLoseNothing();
    void trainedWeightsAreKeptPerModelAndShared_data();
    void trainedWeightsAreKeptPerModelAndShared();
    void serverStoresShareWhatTheyWroteAndClaimDisjointImages();
    void oneProgramAtATimeHoldsTheTurnToTrainUntilGivenBackOrLapsed();
    void anImportIsRefusedAtItsLineAndStoresNothing_data();
    void anImportIsRefusedAtItsLineAndStoresNothing();
    void anExportGivesBackTheImportedBytes_data();
    void anExportGivesBackTheImportedBytes();

private:
    std::unique_ptr<PredictionStore> store(const QString &where) const;
    int run(const QStringList &arguments, QStringList *err) const;

    QTemporaryDir dir;
    PgServer server;
};

void PredictionStoreTest::initTestCase()
{
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY2(server.createDatabase(u"team"_qs), qPrintable(server.errorString()));
}

std::unique_ptr<PredictionStore> PredictionStoreTest::store(const QString &where) const
{
    QString error;
    const QString named = where.startsWith(u"server:"_qs)
        ? server.address(u"team"_qs, where.mid(7))
        : dir.filePath(where);
    auto made = PredictionStore::named(named, &error);
    if (!made)
        qFatal("%s", qPrintable(error));
    return made;
}

int PredictionStoreTest::run(const QStringList &arguments, QStringList *err) const
{
    QProcess program;
    program.setWorkingDirectory(dir.path());
    program.start(QStringLiteral(NORVANTA_PROGRAM), arguments);
    if (!program.waitForFinished(60000) || program.exitStatus() != QProcess::NormalExit)
        return -1;
    *err = QString::fromUtf8(program.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    return program.exitCode();
}

void PredictionStoreTest::aFileIsMadeOnlyWhenOpenedAndKeepsEntriesWithinTheBound()
{
    const QString database = dir.filePath(u"made.csv.predictions.sqlite"_qs);
    auto first = store(u"made.csv"_qs);
    QString error;
    QVERIFY(first->models(&error).isEmpty());
    QVERIFY(first->readAll(&error).isEmpty());
    QVERIFY(!first->write({entry(u"a.png"_qs, 0.3f)}, &error));
    QVERIFY(!QFile::exists(database));

    QVERIFY2(first->open(u"m"_qs, "d1", &error), qPrintable(error));
    QVERIFY(QFile::exists(database));
    PredictionStore::Entry odd = entry(u"a,b.png"_qs, 1.0f / 3, 7);
    odd.values[5] = 0;
    odd.values[6] = 1;
    odd.values[7] = 2;  // taken as the nearest end
    odd.features = QByteArray("\0\1\2features", 11);
    QVERIFY2(first->write({entry(u"a.png"_qs, 0.1f), odd, entry(u"a.png"_qs, 0.9f, 12)}, &error),
             qPrintable(error));

    // Read by another store object: what the file keeps.
    auto second = store(u"made.csv"_qs);
    QVERIFY2(second->open(u"m"_qs, "d1", &error), qPrintable(error));
    const QHash<QString, PredictionStore::Entry> entries = second->readAll(&error);
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[u"a.png"_qs].size, 12);
    QVERIFY(qAbs(entries[u"a.png"_qs].values[0] - 0.9f) <= PredictionValues::maximumError);
    const PredictionStore::Entry &back = entries[u"a,b.png"_qs];
    QCOMPARE(back.fileName, u"a,b.png"_qs);
    QCOMPARE(back.size, 7);
    QCOMPARE(back.modified, 1765000000123);
    QCOMPARE(back.features, odd.features);
    QCOMPARE(back.values.size(), 19);
    for (int label = 0; label < 19; ++label) {
        const float expected = std::clamp(odd.values.at(label), 0.0f, 1.0f);
        if (std::isnan(expected))
            QVERIFY(std::isnan(back.values.at(label)));
        else
            QVERIFY(qAbs(back.values.at(label) - expected) <= PredictionValues::maximumError);
    }
    QCOMPARE(back.values[5], 0.0f);
    QCOMPARE(back.values[6], 1.0f);
    QCOMPARE(back.values[7], 1.0f);
    QCOMPARE(second->models(&error).size(), 1);
}

void PredictionStoreTest::aModelReadsItsOwnEntriesThenImportedOnesOfItsName_data()
{
    QTest::addColumn<QString>("where");
    QTest::newRow("file") << u"models.csv"_qs;
    QTest::newRow("server") << u"server:models"_qs;
}

void PredictionStoreTest::aModelReadsItsOwnEntriesThenImportedOnesOfItsName()
{
    QFETCH(QString, where);
    QString error;
    auto imported = store(where);
    QVERIFY2(imported->open(u"m"_qs, QByteArray(), &error), qPrintable(error));
    QVERIFY2(imported->write({entry(u"a.png"_qs, 0.2f, -1), entry(u"b.png"_qs, 0.2f, -1)}, &error),
             qPrintable(error));
    auto own = store(where);
    QVERIFY2(own->open(u"m"_qs, "d1", &error), qPrintable(error));
    QVERIFY2(own->write({entry(u"a.png"_qs, 0.8f)}, &error), qPrintable(error));
    auto other = store(where);
    QVERIFY2(other->open(u"n"_qs, "d1", &error), qPrintable(error));
    QVERIFY2(other->write({entry(u"c.png"_qs, 0.5f)}, &error), qPrintable(error));

    // Its own a.png, the imported b.png, nothing of the other model's.
    auto reader = store(where);
    QVERIFY2(reader->open(u"m"_qs, "d1", &error), qPrintable(error));
    QHash<QString, PredictionStore::Entry> entries = reader->readAll(&error);
    QCOMPARE(entries.keys().size(), 2);
    QVERIFY(qAbs(entries[u"a.png"_qs].values[0] - 0.8f) < 1e-4);
    QCOMPARE(entries[u"b.png"_qs].size, -1);
    // Another file of the same name: the imported ones only.
    QVERIFY2(reader->open(u"m"_qs, "d2", &error), qPrintable(error));
    entries = reader->readAll(&error);
    QCOMPARE(entries.size(), 2);
    QVERIFY(qAbs(entries[u"a.png"_qs].values[0] - 0.2f) < 1e-4);
    QVERIFY2(reader->open(u"n"_qs, "d2", &error), qPrintable(error));
    QVERIFY(reader->readAll(&error).isEmpty());

    const QList<PredictionStore::Model> models = reader->models(&error);
    QCOMPARE(models.size(), 3);
    QCOMPARE(models.at(0).name, u"m"_qs);
    QCOMPARE(models.at(0).sha256, QByteArray());
    QCOMPARE(models.at(1).sha256, QByteArray("d1"));
    QCOMPARE(models.at(2).name, u"n"_qs);
}

void PredictionStoreTest::trainedWeightsAreKeptPerModelAndShared_data()
{
    QTest::addColumn<QString>("where");
    QTest::newRow("file") << u"weights.csv"_qs;
    QTest::newRow("server") << u"server:weights"_qs;
}

void PredictionStoreTest::trainedWeightsAreKeptPerModelAndShared()
{
    QFETCH(QString, where);
    QString error;
    auto writer = store(where);
    QVERIFY2(writer->open(u"m"_qs, "d1", &error), qPrintable(error));
    QVERIFY(writer->readWeights(&error).isEmpty());
    QVERIFY2(writer->writeWeights(QByteArray("first\0", 6), &error), qPrintable(error));
    QVERIFY2(writer->writeWeights(QByteArray("second\0\xff", 8), &error), qPrintable(error));
    // Another store object (another member) reads the latest; another
    // model has none.
    auto reader = store(where);
    QVERIFY2(reader->open(u"m"_qs, "d1", &error), qPrintable(error));
    QCOMPARE(reader->readWeights(&error), QByteArray("second\0\xff", 8));
    QVERIFY2(reader->open(u"m"_qs, "d2", &error), qPrintable(error));
    QVERIFY(reader->readWeights(&error).isEmpty());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void PredictionStoreTest::twoStoresWritingOneFileAtOnceLoseNothing()
{
    // Made here, used on the writers' threads.
    auto first = store(u"busy.csv"_qs);
    auto second = store(u"busy.csv"_qs);
    Writer one(first.get(), u"one-"_qs, 1000);
    Writer two(second.get(), u"two-"_qs, 1000);
    one.start();
    two.start();
    QVERIFY(one.wait(120000) && two.wait(120000));
    QVERIFY2(one.error.isEmpty(), qPrintable(one.error));
    QVERIFY2(two.error.isEmpty(), qPrintable(two.error));
    // And back on this thread.
    QString error;
    QCOMPARE(first->readAll(&error).size(), 2000);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void PredictionStoreTest::serverStoresShareWhatTheyWroteAndClaimDisjointImages()
{
    auto first = store(u"server:claims"_qs);
    auto second = store(u"server:claims"_qs);
    QString error;
    QVERIFY2(first->open(u"m"_qs, "d1", &error), qPrintable(error));
    QVERIFY2(second->open(u"m"_qs, "d1", &error), qPrintable(error));
    QCOMPARE(first->claim({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs}, &error),
             (QStringList{u"a.png"_qs, u"b.png"_qs, u"c.png"_qs}));
    QCOMPARE(second->claim({u"d.png"_qs, u"c.png"_qs, u"b.png"_qs}, &error), QStringList{u"d.png"_qs});
    // Claimed again by its holder; let go once written.
    QCOMPARE(first->claim({u"c.png"_qs}, &error), QStringList{u"c.png"_qs});
    PredictionStore::Entry written = entry(u"b.png"_qs, 0.25f);
    written.features = "\x01\x00\xff";
    QVERIFY2(first->write({written}, &error), qPrintable(error));
    QCOMPARE(second->claim({u"b.png"_qs, u"c.png"_qs}, &error), QStringList{u"b.png"_qs});
    const PredictionStore::Entry read = second->readAll(&error).value(u"b.png"_qs);
    QCOMPARE(read.features, written.features);
    QVERIFY(std::isnan(read.values.at(1)));
    QVERIFY(qAbs(read.values.at(0) - 0.25f) <= PredictionValues::maximumError);

    // Many at once from two threads: each image to one of them.
    QStringList names;
    for (int i = 0; i < 300; ++i)
        names << QStringLiteral("many-%1.png").arg(i);
    QStringList taken[2];
    std::unique_ptr<PredictionStore> stores[2] = {std::move(first), std::move(second)};
    std::unique_ptr<QThread> threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t].reset(QThread::create([&, t] {
            QString failed;
            for (qsizetype start = 0; start < names.size(); start += 30)
                taken[t] << stores[t]->claim(names.mid(t == 0 ? start : names.size() - start - 30, 30),
                                             &failed);
        }));
        threads[t]->start();
    }
    QVERIFY(threads[0]->wait(60000) && threads[1]->wait(60000));
    QStringList both = taken[0] + taken[1];
    both.sort();
    QStringList expected = names;
    expected.sort();
    QCOMPARE(both, expected);
}

void PredictionStoreTest::oneProgramAtATimeHoldsTheTurnToTrainUntilGivenBackOrLapsed()
{
    QString error;
    auto file = store(u"turns.csv"_qs);
    QVERIFY2(file->open(u"m"_qs, "d1", &error), qPrintable(error));
    QVERIFY(file->takeTrainingTurn(60, &error) && store(u"turns.csv"_qs)->takeTrainingTurn(60, &error));

    auto first = store(u"server:turns"_qs);
    auto second = store(u"server:turns"_qs);
    QVERIFY2(first->open(u"m"_qs, "d1", &error), qPrintable(error));
    QVERIFY2(second->open(u"m"_qs, "d1", &error), qPrintable(error));
    QVERIFY2(first->takeTrainingTurn(60, &error), qPrintable(error));
    QVERIFY(!second->takeTrainingTurn(60, &error));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // Its holder may ask again; another model's turn is apart.
    QVERIFY(first->takeTrainingTurn(60, &error));
    auto other = store(u"server:turns"_qs);
    QVERIFY2(other->open(u"m"_qs, "d2", &error), qPrintable(error));
    QVERIFY(other->takeTrainingTurn(60, &error));
    // Given back, it goes to the next that asks; left, it lapses.
    first->giveTrainingTurn();
    QVERIFY(second->takeTrainingTurn(1, &error));
    QVERIFY(!first->takeTrainingTurn(60, &error));
    QTest::qWait(1200);
    QVERIFY(first->takeTrainingTurn(60, &error));
    QVERIFY(!second->takeTrainingTurn(60, &error));
}

void PredictionStoreTest::anImportIsRefusedAtItsLineAndStoresNothing_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("reason");
    QTest::newRow("above one") << u"b.png,0.5,1.5"_qs << u"第 3 行第 3 列不是 0 到 1 之间的概率：1.5"_qs;
    QTest::newRow("negative") << u"b.png,-0.1,0"_qs << u"第 3 行第 2 列不是 0 到 1 之间的概率：-0.1"_qs;
    QTest::newRow("word") << u"b.png,nan,0"_qs << u"第 3 行第 2 列不是 0 到 1 之间的概率：nan"_qs;
    QTest::newRow("blank") << u"b.png, 0.5,0"_qs << u"第 3 行第 2 列不是 0 到 1 之间的概率： 0.5"_qs;
    QTest::newRow("short") << u"b.png,0.5"_qs << u"第 3 行有 2 个字段，表头有 3 个"_qs;
    QTest::newRow("twice") << u"a.png,0,0"_qs << u"第 3 行的图片与第 2 行重复：a.png"_qs;
}

void PredictionStoreTest::anImportIsRefusedAtItsLineAndStoresNothing()
{
    QFETCH(QString, row);
    QFETCH(QString, reason);
    const QStringList catalogue = AnnotationFormat::catalogue();
    const QString csv = dir.filePath(u"bad.csv"_qs);
    QFile file(csv);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QStringLiteral("图片名称,%1,%2\na.png,0.5,0.25\n%3\nc.png,1,0\n")
                   .arg(catalogue.at(0), catalogue.at(9), row).toUtf8());
    file.close();
    QStringList err;
    QCOMPARE(run({u"--import-predictions"_qs, csv, u"none.csv"_qs, u"--model-name"_qs, u"x"_qs}, &err), 2);
    QCOMPARE(err, QStringList{u"norvanta: "_qs + csv + u"："_qs + reason});
    QVERIFY(!QFile::exists(dir.filePath(u"none.csv.predictions.sqlite"_qs)));
}

void PredictionStoreTest::anExportGivesBackTheImportedBytes_data()
{
    QTest::addColumn<QString>("where");
    QTest::newRow("file") << dir.filePath(u"moved.csv"_qs);
    QTest::newRow("server") << server.address(u"team"_qs, u"moved"_qs);
}

void PredictionStoreTest::anExportGivesBackTheImportedBytes()
{
    QFETCH(QString, where);
    const QStringList catalogue = AnnotationFormat::catalogue();
    // Sorted names, the catalogue's order, up to four places, a field left empty.
    const QByteArray bytes = QStringLiteral("图片名称,%1,%2,%3\n10.png,0.87,1,0\n2 b.png,0.0001,,0.1235\n"
                                            "B.png,0.5,0.3333,1\n")
                                 .arg(catalogue.at(0), catalogue.at(6), catalogue.at(18))
                                 .toUtf8();
    const QString in = dir.filePath(u"in.csv"_qs);
    QFile file(in);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    QStringList err;
    QCOMPARE(run({u"--import-predictions"_qs, in, where, u"--model-name"_qs, u"big"_qs}, &err), 0);
    const QString out = dir.filePath(u"out.csv"_qs);
    QCOMPARE(run({u"--export-predictions"_qs, where, out}, &err), 0);
    QFile exported(out);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    QCOMPARE(exported.readAll(), bytes);

    // With a second model stored, the name must be given.
    QCOMPARE(run({u"--import-predictions"_qs, in, where, u"--model-name"_qs, u"small"_qs}, &err), 0);
    QCOMPARE(run({u"--export-predictions"_qs, where, out}, &err), 2);
    QCOMPARE(err, QStringList{u"norvanta: 存有多个模型的预测（big、small），请用 --model-name 指定"_qs});
    QCOMPARE(run({u"--export-predictions"_qs, where, out, u"--model-name"_qs, u"small"_qs}, &err), 0);
}

QTEST_GUILESS_MAIN(PredictionStoreTest)
#include "tst_predictionstore.moc"
