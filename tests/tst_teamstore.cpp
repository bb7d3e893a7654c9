// A team's dataset on a real PostgreSQL server of the test's own: the
// address, the schema, saves and their conflicts, holds and Ctrl+U between
// windows, notifications, a lost server, import and export.
#include "labelcatalogue.h"
#include "pgserver.h"
#include "teamaddress.h"
#include "teamdatabase.h"
#include "teamstore.h"
#include "teamtransfer.h"
#include "testwindow.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTimer>
#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <thread>
#include <vector>

#include <csignal>

using namespace TestWindow;

class TeamStoreTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void addressesAreReadOrRefused_data();
    void addressesAreReadOrRefused();
    void theAnnotatorComesFromTheOptionTheEnvironmentOrTheLogin();

    void firstUseMakesTheSchemaAndAViewWithOneColumnPerLabel();
    void aRoleThatMayNotCreateTablesIsToldWhatIsMissing();
    void anUnreachableServerGivesTheReason();
    void savesAreKeptWithTheirHistoryAndCounted();
    void aSaveAfterAnotherAnnotatorsIsRefusedOnceThenOverwrites();
    void otherWindowsHearOfEverySave();
    void twoWindowsNeverTakeTheSameUnmarkedImage();
    void manyWindowsSteppingAtOnceNeverCollideNorWait();
    void aHeldImageIsSkippedUntilItsHoldLapses();
    void unchangedLabelsAreNeverWrittenOverAnothersSave();
    void aLostServerFailsOneSaveAndTheNextReconnects();
    void aSaveGivenUpOnIsNeverWrittenWhenTheServerGoesOn();
    void aSaveCutOffWithItsConnectionIsUnconfirmedUntilTheRowIsRead();
    void noConfirmedSaveIsLostWhenAClientIsKilledOrTheServerRestarts();
    void importThenExportGivesTheSameBytes();
    void importRecordsChangedRowsAndRefusesForeignFiles();
    void readingAnewKeepsTheWindowAnsweringAndLosesNoSave();
    void theWindowDrawsTheImagesLabelledTwiceAsTheServerDoes();

private:
    std::unique_ptr<TeamStore> openStore(const QString &dataset, const QString &annotator);
    TeamAddress address(const QString &dataset, const QString &user = PgServer::superuser()) const;
    // One value of the test's own connection to the server.
    QVariant queryValue(const QString &statement);

    PgServer server;
};

void TeamStoreTest::initTestCase()
{
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY2(server.createDatabase(u"team"_qs), qPrintable(server.errorString()));
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_qs, u"test"_qs);
    db.setConnectOptions(address(u"x"_qs).connectOptions());
    QVERIFY2(db.open(), qPrintable(db.lastError().text()));
}

TeamAddress TeamStoreTest::address(const QString &dataset, const QString &user) const
{
    QString error;
    const auto parsed = TeamAddress::parse(server.address(u"team"_qs, dataset, user), &error);
    if (!parsed)
        qFatal("%s", qPrintable(error));
    return *parsed;
}

QVariant TeamStoreTest::queryValue(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(u"test"_qs));
    if (!query.exec(statement) || !query.next())
        return QVariant();
    return query.value(0);
}

std::unique_ptr<TeamStore> TeamStoreTest::openStore(const QString &dataset, const QString &annotator)
{
    auto store = std::make_unique<TeamStore>(address(dataset), labelCatalogue(), annotator);
    QString error;
    if (!store->open(&error))
        qWarning("cannot open the dataset: %s", qPrintable(error));
    return store;
}

void TeamStoreTest::addressesAreReadOrRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("dataset");
    QTest::addColumn<QString>("options"); // empty: refused
    QTest::addColumn<QString>("error");
    const QString defaults = u"application_name='norvanta';connect_timeout='5';"_qs;
    QTest::newRow("full") << u"postgresql://anna@db.example:6543/labels?dataset=pipes_2024&sslmode=verify-full"_qs
                          << u"pipes_2024"_qs
                          << defaults + u"dbname='labels';user='anna';port='6543';host='db.example';sslmode='verify-full'"_qs
                          << QString();
    QTest::newRow("short scheme, socket folder") << u"postgres:///labels?host=/run/postgresql&dataset=a.b-c"_qs
                                                 << u"a.b-c"_qs
                                                 << defaults + u"dbname='labels';host='/run/postgresql'"_qs
                                                 << QString();
    QTest::newRow("encoded socket folder, IPv6") << u"postgresql://[::1]:5432/d%20b?dataset=x&host=%2Ftmp%2Fa'b"_qs
                                                 << u"x"_qs
                                                 << defaults + u"dbname='d b';port='5432';host='::1';host='/tmp/a\\'b'"_qs
                                                 << QString();
    QTest::newRow("no dataset") << u"postgresql://h/db"_qs << QString() << QString()
                                << u"标签数据库的地址缺少 dataset=数据集名称：postgresql://h/db"_qs;
    QTest::newRow("dataset with a space") << u"postgresql://h/db?dataset=a%20b"_qs << QString() << QString()
                                          << u"数据集名称无效（1 到 63 个字母、数字、_、- 或 .）：a b"_qs;
    QTest::newRow("dataset too long") << (u"postgresql://h/db?dataset="_qs + QString(64, u'a')) << QString()
                                      << QString() << u"数据集名称无效（1 到 63 个字母、数字、_、- 或 .）："_qs + QString(64, u'a');
    QTest::newRow("two datasets") << u"postgresql://h/db?dataset=a&dataset=b"_qs << QString() << QString()
                                  << u"标签数据库的地址给出了多个数据集"_qs;
    QTest::newRow("password in the user part") << u"postgresql://anna:secret@h/db?dataset=a"_qs << QString()
                                                << QString()
                                                << u"标签数据库的地址不能含有密码；请使用 ~/.pgpass 或 PGPASSWORD"_qs;
    QTest::newRow("password parameter") << u"postgresql://h/db?dataset=a&password=secret"_qs << QString()
                                        << QString()
                                        << u"标签数据库的地址不能含有密码；请使用 ~/.pgpass 或 PGPASSWORD"_qs;
    // Keys are read after decoding, and only libpq's own names pass.
    QTest::newRow("password smuggled into a key") << u"postgresql://h/db?dataset=pipes&sslmode%3Dprefer%20password=secret"_qs
                                                  << QString() << QString()
                                                  << u"标签数据库的地址不能含有密码；请使用 ~/.pgpass 或 PGPASSWORD"_qs;
    QTest::newRow("password spelt otherwise") << u"postgresql://h/db?dataset=a&Pass%57ord=secret"_qs << QString()
                                              << QString()
                                              << u"标签数据库的地址不能含有密码；请使用 ~/.pgpass 或 PGPASSWORD"_qs;
    QTest::newRow("password file") << u"postgresql://h/db?dataset=a&passfile=/tmp/secret"_qs << QString()
                                   << QString()
                                   << u"标签数据库的地址不能含有密码；请使用 ~/.pgpass 或 PGPASSWORD"_qs;
    QTest::newRow("unknown parameter") << u"postgresql://h/db?dataset=a&sslmode%3Drequire=1"_qs << QString()
                                       << QString() << u"标签数据库的地址参数未知：sslmode=require"_qs;
    QTest::newRow("no database") << u"postgresql://h/?dataset=a"_qs << QString() << QString()
                                 << u"标签数据库的地址缺少数据库名：postgresql://h/?dataset=a"_qs;
    QTest::newRow("bad port") << u"postgresql://h:99999/db?dataset=a"_qs << QString() << QString()
                              << u"标签数据库的端口无效：99999"_qs;
}

void TeamStoreTest::addressesAreReadOrRefused()
{
    QFETCH(QString, text);
    QFETCH(QString, dataset);
    QFETCH(QString, options);
    QFETCH(QString, error);
    QVERIFY(TeamAddress::isAddress(text));
    QString refusal;
    const auto parsed = TeamAddress::parse(text, &refusal);
    QCOMPARE(refusal, error);
    QVERIFY(!refusal.contains(u"secret"_qs));
    QCOMPARE(bool(parsed), !options.isEmpty());
    if (!parsed)
        return;
    QCOMPARE(parsed->dataset(), dataset);
    QCOMPARE(parsed->connectOptions(), options);
    QCOMPARE(parsed->displayText(), text);
}

void TeamStoreTest::theAnnotatorComesFromTheOptionTheEnvironmentOrTheLogin()
{
    qputenv("NORVANTA_ANNOTATOR", "李四");
    QCOMPARE(resolveAnnotator(u"张三"_qs), u"张三"_qs);
    QCOMPARE(resolveAnnotator(QString()), u"李四"_qs);
    qunsetenv("NORVANTA_ANNOTATOR");
    // Then the server names the role, never the machine's login.
    QVERIFY(resolveAnnotator(QString()).isEmpty());
    QVERIFY(isAnnotatorName(QString(63, u'x')));
    QVERIFY(!isAnnotatorName(QString(64, u'x')));
    QVERIFY(!isAnnotatorName(u"a\tb"_qs));
    QVERIFY(!isAnnotatorName(u"  "_qs));
}

void TeamStoreTest::firstUseMakesTheSchemaAndAViewWithOneColumnPerLabel()
{
    auto store = openStore(u"schema"_qs, u"anna"_qs);
    store->showing(u"a.png"_qs);
    QCOMPARE(store->saveRow(u"a.png"_qs, {entry(2), entry(19)}), SaveResult::Saved);
    QSqlQuery query(QSqlDatabase::database(u"test"_qs));
    QVERIFY(query.exec(u"SELECT * FROM norvanta_labels WHERE dataset = 'schema'"_qs));
    QVERIFY(query.next());
    const QSqlRecord record = query.record();
    QCOMPARE(record.count(), 2 + 19 + 2);
    QCOMPARE(record.fieldName(1), u"图片名称"_qs);
    QCOMPARE(query.value(1).toString(), u"a.png"_qs);
    for (int row = 1; row <= 19; ++row) {
        QCOMPARE(record.fieldName(1 + row), entry(row));
        QCOMPARE(query.value(1 + row).toInt(), int(row == 2 || row == 19));
    }
    QCOMPARE(query.value(u"annotator"_qs).toString(), u"anna"_qs);
}

void TeamStoreTest::aRoleThatMayNotCreateTablesIsToldWhatIsMissing()
{
    QVERIFY2(server.createDatabase(u"bare"_qs), qPrintable(server.errorString()));
    QVERIFY(server.execute({u"CREATE ROLE clerk LOGIN"_qs, u"REVOKE CREATE ON SCHEMA public FROM PUBLIC"_qs},
                           u"bare"_qs));
    QString error;
    const auto parsed = TeamAddress::parse(
        server.address(u"bare"_qs, u"d"_qs, u"clerk"_qs), &error);
    QVERIFY(parsed);
    TeamDatabase database(*parsed, labelCatalogue(), u"clerk"_qs, u"c"_qs);
    QVERIFY(!database.open(&error));
    QCOMPARE(error, u"数据库中缺少 norvanta_datasets, norvanta_annotations, norvanta_history, "
                    "norvanta_holds, norvanta_labels, norvanta_members, norvanta_schema, "
                    "norvanta_prediction_models, norvanta_predictions, norvanta_prediction_claims, "
                    "norvanta_prediction_weights, norvanta_second_rows, norvanta_training_turns, "
                    "norvanta_is_owner, norvanta_usable, norvanta_check, norvanta_annotator, "
                    "norvanta_open, norvanta_is_reviewer, norvanta_save, norvanta_doubled, "
                    "norvanta_take_second, norvanta_save_second, norvanta_review, "
                    "norvanta_take, norvanta_hold, norvanta_renew, "
                    "norvanta_import_begin, norvanta_import, norvanta_prediction_model, "
                    "norvanta_claim_predictions, norvanta_write_predictions, "
                    "norvanta_take_training_turn, norvanta_give_training_turn, "
                    "norvanta_write_prediction_weights，当前角色无权创建；请数据库管理员按说明建表并授权"_qs);

    // Made by the owner, but without the dataset's grant: it is named.
    TeamDatabase owner(*TeamAddress::parse(server.address(u"bare"_qs, u"d"_qs), &error),
                       labelCatalogue(), u"owner"_qs, u"o"_qs);
    QVERIFY2(owner.open(&error), qPrintable(error));
    QVERIFY(!database.open(&error));
    QCOMPARE(error, u"当前角色无权使用数据集 d"_qs);

    // The grant the README gives a team's role is enough to work.
    bool granted = false;
    QVERIFY2(owner.setMember(u"clerk"_qs, true, &granted, &error), qPrintable(error));
    QVERIFY2(database.open(&error), qPrintable(error));
    QCOMPARE(database.save(u"a.png"_qs, 1, 0).kind, TeamOutcome::Done);
    QCOMPARE(database.hold(u"a.png"_qs).taken, u"a.png"_qs);
    qsizetype changed = 0;
    QVERIFY2(database.importRows({{u"b.png"_qs, 2}}, &changed, &error), qPrintable(error));
    QCOMPARE(changed, 1);
}

void TeamStoreTest::anUnreachableServerGivesTheReason()
{
    QString error;
    const auto parsed = TeamAddress::parse(
        u"postgresql:///team?host=/nonexistent-folder&dataset=a"_qs, &error);
    QVERIFY(parsed);
    TeamStore store(*parsed, labelCatalogue(), u"anna"_qs);
    QVERIFY(!store.open(&error));
    QVERIFY2(error.contains(u"/nonexistent-folder"_qs), qPrintable(error));
}

void TeamStoreTest::savesAreKeptWithTheirHistoryAndCounted()
{
    auto store = openStore(u"history"_qs, u"anna"_qs);
    store->setListedNames({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    QSignalSpy saved(store.get(), &TeamStore::rowSaved);
    store->showing(u"b.png"_qs);
    QCOMPARE(store->saveRow(u"b.png"_qs, {entry(11)}), SaveResult::Saved);
    QCOMPARE(store->saveRow(u"b.png"_qs, {entry(11), entry(1)}), SaveResult::Saved);
    QCOMPARE(store->saveRow(u"a,b.png"_qs, {entry(1)}), SaveResult::NameNotStorable);
    QCOMPARE(saved.count(), 2);
    QCOMPARE(store->storedLabels(u"b.png"_qs), (QStringList{entry(1), entry(11)}));
    QCOMPARE(store->markCounts().marked, 1);
    QCOMPARE(store->markCounts().unmarked, 2);
    QCOMPARE(store->labelCounts().at(10), 1);
    QCOMPARE(store->nextUnmarked(0), 2);
    QCOMPARE(store->savedBy(u"b.png"_qs), u"anna"_qs);
    QVERIFY(qAbs(store->savedAt(u"b.png"_qs) - QDateTime::currentMSecsSinceEpoch()) < 60000);
    QCOMPARE(store->lastMarkedName(), std::optional<QString>(u"b.png"_qs));
    // The exported file's last marked row: "b.png," sorts after "b.png!,".
    QCOMPARE(store->saveRow(u"b.png!"_qs, {entry(1)}), SaveResult::Saved);
    QCOMPARE(store->lastMarkedName(), std::optional<QString>(u"b.png"_qs));
    QCOMPARE(store->saveRow(u"b.png"_qs, {}), SaveResult::Saved);
    QCOMPARE(store->lastMarkedName(), std::optional<QString>(u"b.png!"_qs));
    QCOMPARE(store->saveRow(u"b.png"_qs, {entry(11), entry(1)}), SaveResult::Saved);
    QCOMPARE(queryValue(u"SELECT string_agg(annotator || ':' || coalesce(flags_before::text, '-') "
                        "|| '>' || flags_after, ' ' ORDER BY h.id) FROM norvanta_history h "
                        "JOIN norvanta_datasets d ON d.id = h.dataset WHERE d.name = 'history'"_qs)
                 .toString(),
             u"anna:->1024 anna:1024>1025 anna:->1 anna:1025>0 anna:0>1025"_qs);

    // A second window reads what the first saved.
    auto other = openStore(u"history"_qs, u"ben"_qs);
    QCOMPARE(other->storedLabels(u"b.png"_qs), (QStringList{entry(1), entry(11)}));
}

void TeamStoreTest::aSaveAfterAnotherAnnotatorsIsRefusedOnceThenOverwrites()
{
    auto anna = openStore(u"conflict"_qs, u"anna"_qs);
    auto ben = openStore(u"conflict"_qs, u"ben"_qs);
    anna->showing(u"x.png"_qs);
    ben->showing(u"x.png"_qs);
    QCOMPARE(ben->saveRow(u"x.png"_qs, {entry(3)}), SaveResult::Saved);
    QCOMPARE(anna->saveRow(u"x.png"_qs, {entry(4)}), SaveResult::Conflict);
    QCOMPARE(anna->refusalDetail(), u"ben"_qs);
    QCOMPARE(anna->saveRow(u"x.png"_qs, {entry(4)}), SaveResult::Saved);
    // Ben showed the image before Anna's save: his next save is refused too.
    QCOMPARE(ben->saveRow(u"x.png"_qs, {entry(5)}), SaveResult::Conflict);
    QCOMPARE(ben->refusalDetail(), u"anna"_qs);
    // Shown again after the other's save, it saves at once; its own saves never conflict.
    QTRY_COMPARE(ben->storedLabels(u"x.png"_qs), QStringList{entry(4)});
    ben->showing(u"x.png"_qs);
    QCOMPARE(ben->saveRow(u"x.png"_qs, {entry(6)}), SaveResult::Saved);
    QCOMPARE(ben->saveRow(u"x.png"_qs, {entry(7)}), SaveResult::Saved);
}

void TeamStoreTest::otherWindowsHearOfEverySave()
{
    auto anna = openStore(u"notify"_qs, u"anna"_qs);
    auto ben = openStore(u"notify"_qs, u"ben"_qs);
    auto elsewhere = openStore(u"notify-other"_qs, u"carl"_qs);
    ben->setListedNames({u"a.png"_qs, u"b.png"_qs});
    QSignalSpy heard(ben.get(), &TeamStore::savedElsewhere);
    QSignalSpy notHeard(elsewhere.get(), &TeamStore::rowSaved);
    anna->showing(u"b.png"_qs);
    QCOMPARE(anna->saveRow(u"b.png"_qs, {entry(2)}), SaveResult::Saved);
    QTRY_COMPARE(heard.count(), 1);
    QCOMPARE(heard.at(0).at(0).toString(), u"b.png"_qs);
    QCOMPARE(ben->markCounts().marked, 1);
    QCOMPARE(ben->savedBy(u"b.png"_qs), u"anna"_qs);
    QCOMPARE(ben->listedFacts(1).flags, 2u);
    QCOMPARE(notHeard.count(), 0);
    QVERIFY(QTest::qWaitFor([&] { return false; }, 200) == false);
    QCOMPARE(heard.count(), 1);

    // Saves in quick succession are told together, and every one is heard once.
    QStringList burst{u"a.png"_qs, u"b.png"_qs};
    for (int i = 0; i < 120; ++i)
        burst << u"burst%1.png"_qs.arg(i);
    ben->setListedNames(burst);
    for (qsizetype i = 2; i < burst.size(); ++i) {
        anna->showing(burst.at(i));
        QCOMPARE(anna->saveRow(burst.at(i), {entry(int(i % 19) + 1)}), SaveResult::Saved);
    }
    QTRY_COMPARE(ben->markCounts().marked, 121);
    QCOMPARE(heard.count(), 121);
    QCOMPARE(ben->listedFacts(121).flags, 1u << (121 % 19));
}

void TeamStoreTest::twoWindowsNeverTakeTheSameUnmarkedImage()
{
    const QStringList names{u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs};
    auto anna = openStore(u"take"_qs, u"anna"_qs);
    auto ben = openStore(u"take"_qs, u"ben"_qs);
    anna->setListedNames(names);
    ben->setListedNames(names);
    // Ben does not yet know of Anna's save of b.png when he asks.
    anna->showing(u"b.png"_qs);
    QCOMPARE(anna->saveRow(u"b.png"_qs, {entry(1)}), SaveResult::Saved);
    QString error;
    const qsizetype first = anna->takeNextUnmarked(0, {}, &error);
    const qsizetype second = ben->takeNextUnmarked(0, {}, &error);
    QCOMPARE(first, 2);
    QCOMPARE(second, 3);
    QCOMPARE(ben->takeNextUnmarked(3, {}, &error), -1);
    QVERIFY(error.isEmpty());
    // Leaving an image gives it up.
    anna->showing(u"a.png"_qs);
    QTRY_COMPARE(ben->takeNextUnmarked(1, {}, &error), 2);
}

// Windows stepping with Ctrl+U at the same moment over the same images, each
// saving what it took: every image is taken once, and no step fails (as one
// waiting for another's would, the server ending it as a deadlock).
void TeamStoreTest::manyWindowsSteppingAtOnceNeverCollideNorWait()
{
    constexpr int windows = 6;
    constexpr int steps = 15;
    QStringList candidates;
    for (int i = 0; i < windows * steps; ++i)
        candidates << u"step%1.png"_qs.arg(i, 3, 10, QLatin1Char('0'));
    const TeamAddress team = address(u"steps"_qs);
    std::vector<QStringList> taken(windows);
    std::vector<QString> failures(windows);
    std::vector<std::thread> threads;
    for (int w = 0; w < windows; ++w) {
        threads.emplace_back([&, w] {
            TeamDatabase database(team, labelCatalogue(), u"w%1"_qs.arg(w), u"client%1"_qs.arg(w));
            QString error;
            if (!database.open(&error)) {
                failures[w] = error;
                return;
            }
            for (int step = 0; step < steps; ++step) {
                // Each window offers every image: it hears of no save.
                const TeamOutcome outcome = database.takeNext(candidates);
                if (outcome.kind != TeamOutcome::Done || outcome.taken.isEmpty()) {
                    failures[w] = outcome.error.isEmpty() ? u"none taken"_qs : outcome.error;
                    return;
                }
                taken[w] << outcome.taken;
                if (database.save(outcome.taken, 1, 0).kind != TeamOutcome::Done) {
                    failures[w] = u"save of "_qs + outcome.taken;
                    return;
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QStringList all;
    for (int w = 0; w < windows; ++w) {
        QVERIFY2(failures[w].isEmpty(), qPrintable(failures[w]));
        all << taken[w];
    }
    all.sort();
    QCOMPARE(all, candidates);
    QCOMPARE(queryValue(u"SELECT count(*) FROM norvanta_holds h JOIN norvanta_datasets d"
                        " ON d.id = h.dataset WHERE d.name = 'steps'"_qs)
                 .toInt(),
             windows);
}

void TeamStoreTest::aHeldImageIsSkippedUntilItsHoldLapses()
{
    const QStringList names{u"a.png"_qs, u"b.png"_qs, u"c.png"_qs};
    auto anna = openStore(u"lapse"_qs, u"anna"_qs);
    auto ben = openStore(u"lapse"_qs, u"ben"_qs);
    ben->setListedNames(names);
    anna->showing(u"b.png"_qs);
    QTRY_COMPARE(queryValue(u"SELECT image FROM norvanta_holds WHERE annotator = 'anna'"_qs).toString(),
                 u"b.png"_qs);
    QString error;
    QCOMPARE(ben->takeNextUnmarked(0, {}, &error), 2);
    // Anna's program died 121 seconds ago, and another's long before, on
    // another dataset.
    QVERIFY(server.execute({u"UPDATE norvanta_holds SET renewed = now() - interval '121 seconds' "
                            "WHERE annotator = 'anna'"_qs,
                            u"INSERT INTO norvanta_datasets (name) VALUES ('lapse-other')"_qs,
                            u"INSERT INTO norvanta_holds SELECT id, 'x.png', 'dead', 'carl',"
                            " now() - interval '1 hour' FROM norvanta_datasets WHERE name = 'lapse-other'"_qs},
                           u"team"_qs));
    QCOMPARE(ben->takeNextUnmarked(0, {}, &error), 1);
    // Ben's step deleted the lapsed hold it did not take over.
    QCOMPARE(queryValue(u"SELECT count(*) FROM norvanta_holds WHERE holder = 'dead'"_qs).toInt(), 0);
}

// Labels that are the shown row, as it was shown, hold nothing of the
// person's: saved before the other's save is heard, they write nothing
// and refuse nothing, whether the image had a row or not.
void TeamStoreTest::unchangedLabelsAreNeverWrittenOverAnothersSave()
{
    auto anna = openStore(u"unchanged"_qs, u"anna"_qs);
    auto ben = openStore(u"unchanged"_qs, u"ben"_qs);
    anna->showing(u"x.png"_qs);
    QCOMPARE(anna->saveRow(u"x.png"_qs, {entry(1)}), SaveResult::Saved);
    QTRY_COMPARE(ben->storedLabels(u"x.png"_qs), QStringList{entry(1)});
    ben->showing(u"x.png"_qs);
    ben->showing(u"y.png"_qs);
    anna->showing(u"y.png"_qs);
    QCOMPARE(anna->saveRow(u"y.png"_qs, {entry(2)}), SaveResult::Saved);
    anna->showing(u"x.png"_qs);
    QCOMPARE(anna->saveRow(u"x.png"_qs, {entry(3)}), SaveResult::Saved);
    // Ben has not heard of either save yet.
    QCOMPARE(ben->saveRow(u"y.png"_qs, {}), SaveResult::Saved);
    ben->showing(u"x.png"_qs);
    QCOMPARE(ben->saveRow(u"x.png"_qs, {entry(1)}), SaveResult::Saved);
    QCOMPARE(queryValue(u"SELECT string_agg(image || ':' || annotator || ':' || flags, ' ' ORDER BY image)"
                        " FROM norvanta_annotations a JOIN norvanta_datasets d ON d.id = a.dataset"
                        " WHERE d.name = 'unchanged'"_qs)
                 .toString(),
             u"x.png:anna:4 y.png:anna:2"_qs);
    QVERIFY(ben->isStoredRow(u"x.png"_qs, {entry(1)}));
    QVERIFY(!ben->isStoredRow(u"x.png"_qs, {entry(2)}));
    QTRY_COMPARE(ben->storedLabels(u"x.png"_qs), QStringList{entry(3)});
}

void TeamStoreTest::aLostServerFailsOneSaveAndTheNextReconnects()
{
    auto anna = openStore(u"restart"_qs, u"anna"_qs);
    auto ben = openStore(u"restart"_qs, u"ben"_qs);
    anna->setListedNames({u"a.png"_qs});
    ben->setListedNames({u"a.png"_qs});
    anna->showing(u"a.png"_qs);
    QVERIFY2(server.restart(), qPrintable(server.errorString()));
    QSqlDatabase::database(u"test"_qs).close();
    QVERIFY(QSqlDatabase::database(u"test"_qs).open());
    // The save that meets the lost connection fails, unless the worker has
    // already found it lost; the next one connects anew.
    const SaveResult first = anna->saveRow(u"a.png"_qs, {entry(1)});
    if (first != SaveResult::Saved) {
        QCOMPARE(first, SaveResult::Unreachable);
        QVERIFY(!anna->refusalDetail().isEmpty());
        QCOMPARE(anna->markCounts().marked, 0);
        QCOMPARE(anna->saveRow(u"a.png"_qs, {entry(1)}), SaveResult::Saved);
    }
    // The other window listens anew and hears of it.
    QTRY_COMPARE_WITH_TIMEOUT(ben->markCounts().marked, 1, 10000);

    // No server at all: the save fails within the time allowed.
    QVERIFY(server.stop());
    QElapsedTimer waited;
    waited.start();
    QCOMPARE(anna->saveRow(u"a.png"_qs, {}), SaveResult::Unreachable);
    QVERIFY(waited.elapsed() < TeamStore::answerMilliseconds + 1000);
    QCOMPARE(anna->storedLabels(u"a.png"_qs), QStringList{entry(1)});
    QVERIFY2(server.restart(), qPrintable(server.errorString()));
    QSqlDatabase::database(u"test"_qs).close();
    QVERIFY(QSqlDatabase::database(u"test"_qs).open());
}

// The server stops answering (SIGSTOP of its processes) while a save is on
// its way, and goes on after the window gave the save up: the save is
// refused then, and never written.
void TeamStoreTest::aSaveGivenUpOnIsNeverWrittenWhenTheServerGoesOn()
{
    auto anna = openStore(u"given-up"_qs, u"anna"_qs);
    anna->setListedNames({u"a.png"_qs});
    anna->showing(u"a.png"_qs);
    QTRY_COMPARE(queryValue(u"SELECT count(*) FROM norvanta_holds h JOIN norvanta_datasets d"
                            " ON d.id = h.dataset WHERE d.name = 'given-up'"_qs).toInt(),
                 1);
    QVERIFY2(server.pause(), qPrintable(server.errorString()));
    QElapsedTimer waited;
    waited.start();
    const SaveResult result = anna->saveRow(u"a.png"_qs, {entry(1)});
    const qint64 elapsed = waited.elapsed();
    QTest::qWait(500);
    QVERIFY2(server.resume(), qPrintable(server.errorString()));
    QCOMPARE(result, SaveResult::Unreachable);
    QVERIFY2(elapsed < TeamStore::answerMilliseconds + 500, qPrintable(QString::number(elapsed)));
    // The server has run the save by the time the next one is answered.
    QCOMPARE(anna->saveRow(u"a.png"_qs, {entry(2)}), SaveResult::Saved);
    QCOMPARE(queryValue(u"SELECT string_agg(flags_after::text, ' ') FROM norvanta_history h"
                        " JOIN norvanta_datasets d ON d.id = h.dataset WHERE d.name = 'given-up'"_qs)
                 .toString(),
             u"2"_qs);
    QCOMPARE(anna->storedLabels(u"a.png"_qs), QStringList{entry(2)});
}

// A save whose connection is cut while the server has it cannot be told
// saved or not: it is Unconfirmed, and the row as the server has it comes
// at the next contact. Here the save did stand (another session wrote its
// row, as the server would have committed it before the answer was lost).
void TeamStoreTest::aSaveCutOffWithItsConnectionIsUnconfirmedUntilTheRowIsRead()
{
    auto anna = openStore(u"cut-off"_qs, u"anna"_qs);
    anna->setListedNames({u"a.png"_qs});
    anna->showing(u"a.png"_qs);
    QCOMPARE(anna->saveRow(u"a.png"_qs, {entry(1)}), SaveResult::Saved);
    const QString client = queryValue(u"SELECT client FROM norvanta_annotations WHERE image = 'a.png'"
                                      " AND annotator = 'anna' AND flags = 1"_qs).toString();
    QSqlDatabase locker = QSqlDatabase::cloneDatabase(u"test"_qs, u"locker"_qs);
    QVERIFY(locker.open());
    QVERIFY(locker.transaction());
    QSqlQuery lock(locker);
    QVERIFY(lock.exec(u"SELECT 1 FROM norvanta_annotations a JOIN norvanta_datasets d ON d.id = a.dataset"
                      " WHERE d.name = 'cut-off' FOR UPDATE"_qs));
    QSignalSpy told(anna.get(), &TeamStore::savedElsewhere);
    bool cut = false;
    const SaveResult result = anna->saveRow(u"a.png"_qs, {entry(2)}, [&] {
        if (!cut && queryValue(u"SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                               " WHERE wait_event_type = 'Lock' AND query LIKE 'EXECUTE %'"_qs)
                            .toInt() == 1) {
            cut = true;
            QSqlQuery write(locker);
            write.exec(u"UPDATE norvanta_annotations SET flags = 2, version = version + 1, client = '%1'"
                       " WHERE image = 'a.png'"_qs.arg(client));
            locker.commit();
        }
        return true;
    });
    QVERIFY(cut);
    QCOMPARE(result, SaveResult::Unconfirmed);
    QCOMPARE(anna->storedLabels(u"a.png"_qs), QStringList{entry(1)});
    QTRY_COMPARE(anna->storedLabels(u"a.png"_qs), QStringList{entry(2)});
    QCOMPARE(told.count(), 1);
    locker.close();
}

// Three programs saving at once: one is killed, and the server stops at once
// (as in a crash) and starts again while the other two go on. Every save a
// program was told of is in the dataset with its labels and its history.
void TeamStoreTest::noConfirmedSaveIsLostWhenAClientIsKilledOrTheServerRestarts()
{
    const QString addressText = server.address(u"team"_qs, u"crash"_qs);
    constexpr int count = 1500;
    std::vector<std::unique_ptr<QProcess>> savers;
    for (const char *prefix : {"killed", "anna", "ben"}) {
        auto saver = std::make_unique<QProcess>();
        saver->start(QStringLiteral(ANNOTATION_SAVER),
                     {u"team"_qs, addressText, QString::fromLatin1(prefix), QString::number(count)});
        savers.push_back(std::move(saver));
    }
    QByteArray output[3];
    const auto saved = [&](int i) {
        output[i] += savers[std::size_t(i)]->readAllStandardOutput();
        return output[i].count("saved ");
    };
    QTRY_VERIFY_WITH_TIMEOUT(saved(0) >= 20 && saved(1) >= 20 && saved(2) >= 20, 60000);
    for (const auto &saver : savers)
        QCOMPARE(saver->state(), QProcess::Running);
    ::kill(pid_t(savers[0]->processId()), SIGKILL);
    QVERIFY2(server.restart(), qPrintable(server.errorString()));
    for (int i = 1; i < 3; ++i) {
        QProcess &saver = *savers[std::size_t(i)];
        if (saver.state() != QProcess::NotRunning)
            QVERIFY(saver.waitForFinished(120000));
        QVERIFY2(saver.exitStatus() == QProcess::NormalExit && saver.exitCode() == 0,
                 saver.readAllStandardError().constData());
    }
    savers[0]->waitForFinished();
    QSqlDatabase::database(u"test"_qs).close();
    QVERIFY(QSqlDatabase::database(u"test"_qs).open());

    QHash<QString, int> stored;
    QSqlQuery query(QSqlDatabase::database(u"test"_qs));
    // Each row's history ends in its labels. A save whose answer the restart
    // cut off after its commit is tried again by the saver, so an image may
    // have two history rows of the same labels.
    QVERIFY(query.exec(u"SELECT a.image, a.flags, (SELECT h.flags_after FROM norvanta_history h"
                       " WHERE h.dataset = a.dataset AND h.image = a.image ORDER BY h.id DESC LIMIT 1),"
                       " (SELECT count(DISTINCT h.flags_after) FROM norvanta_history h"
                       " WHERE h.dataset = a.dataset AND h.image = a.image)"
                       " FROM norvanta_annotations a JOIN norvanta_datasets d ON d.id = a.dataset"
                       " WHERE d.name = 'crash'"_qs));
    while (query.next()) {
        QCOMPARE(query.value(2).toInt(), query.value(1).toInt());
        QCOMPARE(query.value(3).toInt(), 1);
        stored.insert(query.value(0).toString(), query.value(1).toInt());
    }
    // Killed in the middle of its saves.
    QVERIFY(saved(0) < count);
    QCOMPARE(saved(1), count);
    QCOMPARE(saved(2), count);
    for (int i = 0; i < 3; ++i) {
        saved(i);
        for (const QByteArray &line : output[i].split('\n')) {
            if (!line.startsWith("saved "))
                continue;
            const QString name = QString::fromUtf8(line.mid(6));
            const QString stem = name.chopped(4);
            const int number = stem.mid(stem.indexOf(QRegularExpression(u"\\d"_qs))).toInt();
            QVERIFY2(stored.contains(name), qPrintable(name));
            QCOMPARE(stored.value(name), 1 << (number % 19));
        }
    }
}

void TeamStoreTest::importThenExportGivesTheSameBytes()
{
    QTemporaryDir dir;
    // Names with what the rows' stream to the server escapes.
    const QByteArray content = headerLine() + row(u"a\tb.png"_qs) + row(u"a b.png"_qs, {1, 19})
        + row(u"a\\n.png"_qs, {2}) + row(u"c.png"_qs) + row(u"z.png"_qs, {7}) + row(u"图.jpg"_qs, {11, 12});
    writeFile(dir.filePath(u"in.csv"_qs), content);
    const auto report = TeamTransfer::importFile(dir.filePath(u"in.csv"_qs), address(u"roundtrip"_qs),
                                                 labelCatalogue(), u"importer"_qs);
    QVERIFY2(report.ok, qPrintable(report.text));
    QCOMPARE(report.text, u"已导入 6 行，其中 6 行有更改"_qs);
    const auto exported = TeamTransfer::exportFile(address(u"roundtrip"_qs), dir.filePath(u"out.csv"_qs),
                                                   labelCatalogue());
    QVERIFY2(exported.ok, qPrintable(exported.text));
    QCOMPARE(readFile(dir.filePath(u"out.csv"_qs)), content);

    // An export never replaces a file that is not an annotation file.
    writeFile(dir.filePath(u"notes.csv"_qs), "my notes\n");
    const auto refused = TeamTransfer::exportFile(address(u"roundtrip"_qs), dir.filePath(u"notes.csv"_qs),
                                                  labelCatalogue());
    QVERIFY(!refused.ok);
    QCOMPARE(refused.text, u"标签文件的表头与标签目录不一致，未保存"_qs);
    QCOMPARE(readFile(dir.filePath(u"notes.csv"_qs)), QByteArray("my notes\n"));
}

void TeamStoreTest::importRecordsChangedRowsAndRefusesForeignFiles()
{
    QTemporaryDir dir;
    auto anna = openStore(u"reimport"_qs, u"anna"_qs);
    anna->setListedNames({u"a.png"_qs, u"b.png"_qs});
    anna->showing(u"a.png"_qs);
    QCOMPARE(anna->saveRow(u"a.png"_qs, {entry(1)}), SaveResult::Saved);
    QSignalSpy reloaded(anna.get(), &TeamStore::reloaded);
    // The first row of a name counts; a later one of the same name is left out.
    writeFile(dir.filePath(u"in.csv"_qs),
              headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs, {2}) + row(u"b.png"_qs, {3}));
    const auto report = TeamTransfer::importFile(dir.filePath(u"in.csv"_qs), address(u"reimport"_qs),
                                                 labelCatalogue(), u"importer"_qs);
    QCOMPARE(report.text, u"已导入 2 行，其中 1 行有更改"_qs);
    QTRY_COMPARE(reloaded.count(), 1);
    QCOMPARE(anna->markCounts().marked, 2);
    QCOMPARE(anna->storedLabels(u"b.png"_qs), QStringList{entry(2)});
    QCOMPARE(anna->savedBy(u"b.png"_qs), u"importer"_qs);
    QCOMPARE(queryValue(u"SELECT count(*) FROM norvanta_history h JOIN norvanta_datasets d "
                        "ON d.id = h.dataset WHERE d.name = 'reimport' AND annotator = 'importer'"_qs)
                 .toInt(),
             1);

    writeFile(dir.filePath(u"other.csv"_qs), "name,score\na.png,3\n");
    const auto foreign = TeamTransfer::importFile(dir.filePath(u"other.csv"_qs), address(u"reimport"_qs),
                                                  labelCatalogue(), u"importer"_qs);
    QVERIFY(!foreign.ok);
    QCOMPARE(foreign.text, u"标签文件的表头与标签目录不一致，未保存"_qs);

    // A name that a save refuses refuses the import, by its line; nothing is written.
    writeFile(dir.filePath(u"quoted.csv"_qs), headerLine() + row(u"c.png"_qs, {4})
                                                  + row(u"\"q.png"_qs, {5}) + row(u"\"r.png"_qs));
    const auto quoted = TeamTransfer::importFile(dir.filePath(u"quoted.csv"_qs), address(u"reimport"_qs),
                                                 labelCatalogue(), u"importer"_qs);
    QVERIFY(!quoted.ok);
    QCOMPARE(quoted.text, u"第 3、4 行：图片名称含有逗号、换行或以引号开头，无法保存；未导入任何行"_qs);
    QCOMPARE(queryValue(u"SELECT count(*) FROM norvanta_annotations a JOIN norvanta_datasets d "
                        "ON d.id = a.dataset WHERE d.name = 'reimport'"_qs)
                 .toInt(),
             2);

    // A row another program writes while the import runs, of a name the
    // import found missing, does not fail the import: its row is written over.
    QSqlDatabase test = QSqlDatabase::database(u"test"_qs);
    QVERIFY(test.transaction());
    QVERIFY(QSqlQuery(test).exec(u"INSERT INTO norvanta_annotations (dataset, image, flags, version,"
                                 " annotator, saved_at, client) SELECT id, 'd.png', 1, 1, 'anna', now(), 'x'"
                                 " FROM norvanta_datasets WHERE name = 'reimport'"_qs));
    writeFile(dir.filePath(u"late.csv"_qs), headerLine() + row(u"d.png"_qs, {6}));
    TeamTransfer::Report late;
    std::thread importing([&] {
        late = TeamTransfer::importFile(dir.filePath(u"late.csv"_qs), address(u"reimport"_qs),
                                        labelCatalogue(), u"importer"_qs);
    });
    QTest::qWait(1000);
    QVERIFY(test.commit());
    importing.join();
    QVERIFY2(late.ok, qPrintable(late.text));
    QCOMPARE(queryValue(u"SELECT flags FROM norvanta_annotations WHERE image = 'd.png'"_qs).toInt(), 1 << 5);
}

// A reading anew (after an import, a lost connection) of a big dataset runs
// on the worker, and the window only swaps it in: its event loop keeps
// turning meanwhile, and a save of its own while the rows are read stays.
void TeamStoreTest::readingAnewKeepsTheWindowAnsweringAndLosesNoSave()
{
    constexpr int rows = 300000;
    auto anna = openStore(u"big"_qs, u"anna"_qs);
    const int dataset = queryValue(u"SELECT id FROM norvanta_datasets WHERE name = 'big'"_qs).toInt();
    QVERIFY2(server.execute({u"INSERT INTO norvanta_annotations SELECT %1, 'i' || n || '.png', n % 3, 1,"
                             " 'importer', now(), 'x' FROM generate_series(1, %2) AS n"_qs
                                 .arg(dataset).arg(rows)},
                            u"team"_qs),
             qPrintable(server.errorString()));
    QStringList names;
    for (int n = 1; n <= rows; ++n)
        names.append(u"i%1.png"_qs.arg(n));
    anna->setListedNames(names);
    QSignalSpy reloaded(anna.get(), &TeamStore::reloaded);
    // An import as the server records it, and its notification.
    const QString reload = u"UPDATE norvanta_datasets SET imports = imports + 1 WHERE id = %1;"
                           " SELECT pg_notify('norvanta', '%1' || chr(9) || 'reload')"_qs.arg(dataset);

    // Every row marked but the last: the window learns it only by reading anew.
    QVERIFY(server.execute({u"UPDATE norvanta_annotations SET flags = 1, version = 2 WHERE dataset = %1"
                            " AND image <> 'i%2.png'"_qs.arg(dataset).arg(rows),
                            reload},
                           u"team"_qs));
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticking;
    ticking.setInterval(5);
    connect(&ticking, &QTimer::timeout, this, [&] {
        longestGap = std::max(longestGap, sinceTick.restart());
    });
    sinceTick.start();
    ticking.start();
    QVERIFY(reloaded.wait(60000));
    ticking.stop();
    QVERIFY2(longestGap < 150, qPrintable(u"the event loop stood still for %1 ms"_qs.arg(longestGap)));
    QCOMPARE(anna->markCounts().marked, rows - 1);
    QCOMPARE(anna->labelCounts().at(0), rows - 1);
    QCOMPARE(anna->nextUnmarked(0), rows - 1);

    // A save that the worker makes after reading, before the window took the rows in.
    QVERIFY(server.execute({reload}, u"team"_qs));
    QTest::qWait(50);
    anna->showing(u"i%1.png"_qs.arg(rows));
    QCOMPARE(anna->saveRow(u"i%1.png"_qs.arg(rows), {entry(2)}), SaveResult::Saved);
    QTRY_COMPARE_WITH_TIMEOUT(reloaded.count(), 2, 60000);
    QCOMPARE(anna->storedLabels(u"i%1.png"_qs.arg(rows)), QStringList{entry(2)});
    QCOMPARE(anna->markCounts().marked, rows);
    QCOMPARE(anna->nextUnmarked(-1), -1);
}

// Ctrl+U offers the server only the images the window's own draw chose: a
// draw that differs from the server's, for any name, would leave images
// chosen there that no window ever offers.
void TeamStoreTest::theWindowDrawsTheImagesLabelledTwiceAsTheServerDoes()
{
    openStore(u"drawn"_qs, u"anna"_qs);
    TeamSnapshot snapshot;
    snapshot.overlapPercent = 37.5;
    snapshot.overlapSeed = 4503599627370497;
    QStringList names;
    QString drawn;
    for (int i = 0; i < 400; ++i) {
        names << (i % 2 ? u"管道%1.png"_qs : u"pipe_%1.JPG"_qs).arg(i);
        drawn += snapshot.isDoubled(names.constLast()) ? u'1' : u'0';
    }
    QSqlQuery query(QSqlDatabase::database(u"test"_qs));
    query.prepare(u"SELECT string_agg(CASE WHEN norvanta_doubled(4503599627370497, 37.5, n)"
                  " THEN '1' ELSE '0' END, '' ORDER BY o) FROM unnest(?::text[]) WITH ORDINALITY AS u(n, o)"_qs);
    query.addBindValue(u"{\""_qs + names.join(u"\",\""_qs) + u"\"}"_qs);
    QVERIFY2(query.exec() && query.next(), qPrintable(query.lastError().text()));
    QCOMPARE(query.value(0).toString(), drawn);
    QVERIFY2(drawn.count(u'1') > 110 && drawn.count(u'1') < 190, qPrintable(drawn));
    snapshot.overlapPercent = 0;
    QVERIFY(!snapshot.isDoubled(names.constFirst()));
}

QTEST_MAIN(TeamStoreTest)
#include "tst_teamstore.moc"
