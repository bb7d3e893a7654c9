// The built program on a team's dataset: its address on the command line,
// an unreachable server, and the import and export of annotation files.
#include "labelagreement.h"
#include "labelcatalogue.h"
#include "pgserver.h"
#include "testwindow.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace TestWindow;

class TeamCommandLineTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void badAddressesAndUnreachableServersEndBeforeAnyWindow_data();
    void badAddressesAndUnreachableServersEndBeforeAnyWindow();
    void importThenExportThroughTheProgramGivesTheSameBytes();
    void theWindowShowsTheAddressAndTheDataset();
    void theOwnerGrantsADatasetAndTheEnvironmentsNameIsChecked();
    void agreementPrintsTheSavedPairsPerLabelToGrantedRolesOnly();
    void theOwnerSetsTheShareLabelledTwiceAndItsSeedOnce();

private:
    // The exit status; `err` gets the standard error's lines, `out` the output.
    int run(const QStringList &arguments, QStringList *err, QByteArray *out = nullptr,
            bool answered = false);

    PgServer server;
    QTemporaryDir dir;
    QString annotatorVariable = u"tester"_qs;
};

void TeamCommandLineTest::initTestCase()
{
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY2(server.createDatabase(u"team"_qs), qPrintable(server.errorString()));
}

int TeamCommandLineTest::run(const QStringList &arguments, QStringList *err, QByteArray *out,
                             bool answered)
{
    QProcess program;
    program.setWorkingDirectory(dir.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"NORVANTA_ANNOTATOR"_qs, annotatorVariable);
#ifdef STARTUP_ANSWER
    if (answered)
        environment.insert(u"LD_PRELOAD"_qs, QStringLiteral(STARTUP_ANSWER));
#else
    Q_UNUSED(answered);
#endif
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(NORVANTA_PROGRAM), arguments);
    if (!program.waitForFinished(60000) || program.exitStatus() != QProcess::NormalExit)
        return -1;
    for (const QString &line : QString::fromUtf8(program.readAllStandardError()).split(u'\n')) {
        if (line.startsWith(u"norvanta: "_qs) || line.startsWith(u"window line: "_qs)
            || line.startsWith(u"answered box: "_qs))
            err->append(line);
    }
    if (out)
        *out = program.readAllStandardOutput();
    return program.exitCode();
}

void TeamCommandLineTest::badAddressesAndUnreachableServersEndBeforeAnyWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("no dataset") << QStringList{u"postgresql://h/db"_qs}
                                << u"norvanta: 标签数据库的地址缺少 dataset=数据集名称：postgresql://h/db"_qs;
    QTest::newRow("bad dataset") << QStringList{u"postgres://h/db?dataset=a/b"_qs}
                                 << u"norvanta: 数据集名称无效（1 到 63 个字母、数字、_、- 或 .）：a/b"_qs;
    QTest::newRow("password") << QStringList{u"postgresql://u:pw@h/db?dataset=a"_qs}
                              << u"norvanta: 标签数据库的地址不能含有密码；请使用 ~/.pgpass 或 PGPASSWORD"_qs;
    QTest::newRow("unreachable") << QStringList{u"postgresql:///db?host=/nonexistent&dataset=a"_qs}
                                 << u"norvanta: 无法连接标签数据库："_qs;
    QTest::newRow("import without address") << QStringList{u"--import"_qs, u"x.csv"_qs}
                                            << u"norvanta: 用法：norvanta --import FILE.csv ADDRESS"_qs;
    QTest::newRow("export unreachable") << QStringList{u"--export"_qs, u"postgresql:///db?host=/nonexistent&dataset=a"_qs, u"out.csv"_qs}
                                        << u"norvanta: 无法连接标签数据库："_qs;
    QTest::newRow("empty annotator") << QStringList{u"--annotator="_qs, u"postgresql://h/db?dataset=a"_qs}
                                     << u"norvanta: 标注人名称无效："_qs;
}

void TeamCommandLineTest::badAddressesAndUnreachableServersEndBeforeAnyWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QStringList err;
    QCOMPARE(run(arguments, &err, nullptr, true), 2);
    QCOMPARE(err.size(), 1);
    QVERIFY2(err.first().startsWith(error), qPrintable(err.first()));
    QVERIFY(!err.first().contains(u"pw@"_qs));
    QVERIFY(!QFile::exists(dir.filePath(u"out.csv"_qs)));
}

void TeamCommandLineTest::importThenExportThroughTheProgramGivesTheSameBytes()
{
    const QByteArray content = headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs)
        + row(u"c.png"_qs, {18, 19});
    writeFile(dir.filePath(u"in.csv"_qs), content);
    const QString address = server.address(u"team"_qs, u"cli"_qs);
    QStringList err;
    QByteArray out;
    QCOMPARE(run({u"--import"_qs, u"in.csv"_qs, address}, &err, &out), 0);
    QCOMPARE(err, QStringList());
    QCOMPARE(QString::fromUtf8(out), u"已导入 3 行，其中 3 行有更改\n"_qs);
    QCOMPARE(run({u"--export"_qs, address, u"out.csv"_qs}, &err, &out), 0);
    QCOMPARE(readFile(dir.filePath(u"out.csv"_qs)), content);
    QFile::remove(dir.filePath(u"out.csv"_qs));
}

void TeamCommandLineTest::theWindowShowsTheAddressAndTheDataset()
{
#ifndef STARTUP_ANSWER
    QSKIP("the dialog answerer cannot be preloaded into this build");
#endif
    const QString address = server.address(u"team"_qs, u"cli"_qs);
    QDir(dir.path()).mkdir(u"imgs"_qs);
    for (const QString &name : {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs})
        writeImage(dir.filePath(u"imgs/"_qs + name));
    QStringList err;
    QCOMPARE(run({u"--annotator"_qs, u"anna"_qs, address, u"imgs"_qs}, &err, nullptr, true), 0);
    QCOMPARE(err, (QStringList{u"window line: 保存路径: "_qs + address,
                               u"window line: 图片目录: "_qs + QDir(dir.filePath(u"imgs"_qs)).canonicalPath(),
                               u"window line: 已标记: 2 | 未标记: 2"_qs,
                               u"window line: 图片名称:a.png(1/4)"_qs}));
}

void TeamCommandLineTest::theOwnerGrantsADatasetAndTheEnvironmentsNameIsChecked()
{
    QVERIFY(server.execute({u"CREATE ROLE dora LOGIN"_qs}));
    const QString owner = server.address(u"team"_qs, u"granted"_qs);
    const QString dora = server.address(u"team"_qs, u"granted"_qs, u"dora"_qs);
    QStringList err;
    QByteArray out;
    QCOMPARE(run({u"--export"_qs, dora, u"out.csv"_qs}, &err), 2);
    QCOMPARE(err, QStringList{u"norvanta: 无法连接标签数据库：当前角色无权使用数据集 granted"_qs});
    QCOMPARE(run({u"--grant"_qs, u"dora"_qs, owner}, &err, &out), 0);
    QCOMPARE(QString::fromUtf8(out), u"已授予角色 dora 使用数据集 granted\n"_qs);
    QCOMPARE(run({u"--export"_qs, dora, u"out.csv"_qs}, &err), 0);
    QFile::remove(dir.filePath(u"out.csv"_qs));
    QCOMPARE(run({u"--grant"_qs, u"dora"_qs, dora}, &err), 1);
    QCOMPARE(run({u"--revoke"_qs, u"dora"_qs, owner}, &err, &out), 0);
    QCOMPARE(QString::fromUtf8(out), u"已收回角色 dora 对数据集 granted 的使用权\n"_qs);
    QCOMPARE(err, (QStringList{u"norvanta: 无法连接标签数据库：当前角色无权使用数据集 granted"_qs,
                               u"norvanta: 只有数据库所有者可以授权或收回数据集 granted"_qs}));
    // A reviewer is granted too, and stays one through a plain grant.
    QCOMPARE(run({u"--grant"_qs, u"dora"_qs, owner, u"--reviewer"_qs}, &err, &out), 0);
    QCOMPARE(QString::fromUtf8(out), u"已指定角色 dora 审核数据集 granted\n"_qs);
    QCOMPARE(run({u"--grant"_qs, u"dora"_qs, owner}, &err, &out), 0);
    QCOMPARE(QString::fromUtf8(out), u"角色 dora 已可使用数据集 granted\n"_qs);
    QCOMPARE(run({u"--grant"_qs, u"dora"_qs, owner, u"--reviewer"_qs}, &err, &out), 0);
    QCOMPARE(QString::fromUtf8(out), u"角色 dora 已可审核数据集 granted\n"_qs);
    err.clear();
    QCOMPARE(run({u"--revoke"_qs, u"dora"_qs, owner, u"--reviewer"_qs}, &err), 2);
    QCOMPARE(err, QStringList{u"norvanta: --reviewer 只能与 --grant 一起使用"_qs});
    QCOMPARE(run({u"--revoke"_qs, u"dora"_qs, owner}, &err, &out), 0);

    // A name from the environment passes the option's checks, or nothing runs.
    annotatorVariable = QString(3000, u'x');
    err.clear();
    QCOMPARE(run({u"--export"_qs, owner, u"out.csv"_qs}, &err), 2);
    annotatorVariable = u"tester"_qs;
    QCOMPARE(err, QStringList{u"norvanta: 标注人名称无效："_qs + QString(3000, u'x')});
}

// The pairs are the first row (the dataset's, or first_flags once settled)
// and a saved second row; a second row not yet saved, or beside no dataset
// row, counts for nothing.
void TeamCommandLineTest::agreementPrintsTheSavedPairsPerLabelToGrantedRolesOnly()
{
    writeFile(dir.filePath(u"pairs.csv"_qs),
              headerLine() + row(u"a.png"_qs, {1}) + row(u"b.png"_qs, {1, 2}) + row(u"c.png"_qs)
                  + row(u"d.png"_qs, {1}) + row(u"e.png"_qs, {1}) + row(u"f.png"_qs, {1}));
    const QString owner = server.address(u"team"_qs, u"agree"_qs);
    QStringList err;
    QByteArray out;
    QCOMPARE(run({u"--import"_qs, u"pairs.csv"_qs, owner}, &err, &out), 0);
    QVERIFY2(server.execute({uR"(INSERT INTO norvanta_second_rows
        (dataset, image, flags, annotator, role, assigned, saved_at, first_flags, settled_at)
        SELECT d.id, v.image, v.flags, 'bo', 'postgres', now(), now(), v.first, v.settled
        FROM norvanta_datasets d, (VALUES ('a.png', 1, NULL::integer, NULL::timestamptz),
            ('b.png', 1, NULL, NULL), ('c.png', 4, NULL, NULL), ('d.png', 2, 2, now()),
            ('e.png', 5, NULL, NULL), ('f.png', NULL, NULL, NULL), ('g.png', 32, NULL, NULL))
            AS v (image, flags, first, settled)
        WHERE d.name = 'agree')"_qs}, u"team"_qs),
             qPrintable(server.errorString()));

    const QStringList catalogue = labelCatalogue();
    QByteArray expected = "标签\t双标图片数\t双标占比\t一致率\tκ\tPABAK\n";
    const QByteArray figures[] = {"5\t0.60\t1.00\t1.00 样本不足\t1.00",
                                  "5\t0.30\t0.80\t0.55 样本不足\t0.60",
                                  "5\t0.20\t0.60\t0.00 样本不足\t0.20"};
    for (int label = 0; label < catalogue.size(); ++label)
        expected += catalogue.at(label).toUtf8() + '\t'
            + (label < 3 ? figures[label] : "5\t0.00\t1.00\t— 样本不足\t1.00") + '\n';
    err.clear();
    QCOMPARE(run({u"--agreement"_qs, owner}, &err, &out), 0);
    QCOMPARE(err, QStringList());
    QCOMPARE(out, expected);

    // A member reads the second rows under row security, once granted.
    QVERIFY(server.execute({u"CREATE ROLE erin LOGIN"_qs}));
    const QString erin = server.address(u"team"_qs, u"agree"_qs, u"erin"_qs);
    QCOMPARE(run({u"--agreement"_qs, erin}, &err, &out), 2);
    QCOMPARE(err, QStringList{u"norvanta: 无法连接标签数据库：当前角色无权使用数据集 agree"_qs});
    QCOMPARE(run({u"--grant"_qs, u"erin"_qs, owner}, &err, &out), 0);
    QCOMPARE(run({u"--agreement"_qs, erin}, &err, &out), 0);
    QCOMPARE(out, expected);
    QCOMPARE(run({u"--agreement"_qs, erin, u"extra"_qs}, &err, &out), 2);
    QCOMPARE(err.last(), u"norvanta: 用法：norvanta --agreement ADDRESS"_qs);
}

// Refused: anything but a plain number from 0 to 100, and a member. The
// seed is drawn at the first share and kept, so that the images chosen
// stay chosen when the share rises.
void TeamCommandLineTest::theOwnerSetsTheShareLabelledTwiceAndItsSeedOnce()
{
    QVERIFY(server.execute({u"CREATE ROLE emil LOGIN"_qs}));
    const QString owner = server.address(u"team"_qs, u"doubled"_qs);
    QStringList err;
    QByteArray out;
    for (const QString &bad : {u"abc"_qs, u"-5"_qs, u"100.5"_qs, u"1e2"_qs, u"50%"_qs, u" 5"_qs, u"nan"_qs})
        QCOMPARE(run({u"--overlap"_qs, bad, owner}, &err), 2);
    QCOMPARE(err, QStringList(7, u"norvanta: 重复标注比例无效：须为 0 到 100 之间的数，如 10 或 12.5"_qs));
    err.clear();
    QCOMPARE(run({u"--overlap"_qs, u"10"_qs}, &err), 2);
    QCOMPARE(err, QStringList{u"norvanta: 用法：norvanta --overlap PERCENT ADDRESS"_qs});

    const auto stored = [this] {
        QString found;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_qs, u"overlap"_qs);
            db.setHostName(server.socketFolder());
            db.setDatabaseName(u"team"_qs);
            db.setUserName(PgServer::superuser());
            QSqlQuery query(db);
            if (db.open() && query.exec(u"SELECT overlap_percent || '/' || overlap_seed FROM"
                                        " norvanta_datasets WHERE name = 'doubled'"_qs)
                && query.next())
                found = query.value(0).toString();
        }
        QSqlDatabase::removeDatabase(u"overlap"_qs);
        return found;
    };
    QCOMPARE(run({u"--overlap"_qs, u"12.5"_qs, owner}, &err, &out), 0);
    QCOMPARE(QString::fromUtf8(out), u"数据集 doubled 中 12.5% 的图片将由两名标注人分别标注\n"_qs);
    const QString seed = stored().section(u'/', 1);
    QVERIFY2(stored().startsWith(u"12.5/"_qs) && seed.toLongLong() > 0, qPrintable(stored()));
    QCOMPARE(run({u"--overlap"_qs, u"30"_qs, owner}, &err, &out), 0);
    QCOMPARE(run({u"--overlap"_qs, u"0"_qs, owner}, &err, &out), 0);
    QCOMPARE(QString::fromUtf8(out), u"数据集 doubled 不再有图片由两名标注人分别标注\n"_qs);
    QCOMPARE(stored(), u"0/"_qs + seed);
    QCOMPARE(run({u"--overlap"_qs, u"100"_qs, owner}, &err, &out), 0);
    QCOMPARE(stored(), u"100/"_qs + seed);

    QCOMPARE(run({u"--grant"_qs, u"emil"_qs, owner}, &err, &out), 0);
    err.clear();
    QCOMPARE(run({u"--overlap"_qs, u"50"_qs, server.address(u"team"_qs, u"doubled"_qs, u"emil"_qs)}, &err), 1);
    QCOMPARE(err, QStringList{u"norvanta: 只有数据库所有者可以设置数据集 doubled 的重复标注比例"_qs});
    QCOMPARE(stored(), u"100/"_qs + seed);
}

QTEST_MAIN(TeamCommandLineTest)
#include "tst_teamcommandline.moc"
