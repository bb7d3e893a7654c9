// Who may do what on a team's server, with members logging in by password
// over TCP as the README sets them up: a notification is only a hint, a
// member writes only through the functions and as itself, a dataset is
// granted per role, and a database of the first version is brought up to
// date by its owner.
#include "labelcatalogue.h"
#include "pgserver.h"
#include "teamaddress.h"
#include "teamdatabase.h"
#include "teamstore.h"
#include "testwindow.h"

#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace TestWindow;

class TeamRightsTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void aForgedNotificationChangesNoWindow();
    void membersWriteOnlyThroughTheFunctionsAndAsThemselves();
    void aRoleWithoutAGrantReadsAndWritesNothing();
    void anOldDatabaseIsBroughtUpToDateByItsOwnerKeepingEveryRow();

private:
    // The superuser on the socket (the owner), or `role` over TCP with its password.
    TeamAddress address(const QString &dataset, const QString &role = QString(),
                        const QString &database = u"team"_qs) const;
    // `statement` run as `role`; the error, invalid when it succeeded.
    QSqlError runAs(const QString &role, const QString &statement, QVariant *value = nullptr,
                    const QString &database = u"team"_qs);
    QVariant ownerValue(const QString &statement, const QString &database = u"team"_qs);

    PgServer server;
    QTemporaryDir dir;
};

void TeamRightsTest::initTestCase()
{
    QVERIFY2(server.startWithPasswords(), qPrintable(server.errorString()));
    QVERIFY2(server.createDatabase(u"team"_qs), qPrintable(server.errorString()));
    QStringList roles;
    QByteArray passwords;
    for (const QString &role : {u"anna"_qs, u"bert"_qs, u"carl"_qs, u"stranger"_qs}) {
        roles << u"CREATE ROLE %1 LOGIN PASSWORD '%1-pw'"_qs.arg(role);
        passwords += u"127.0.0.1:%1:*:%2:%2-pw\n"_qs.arg(server.tcpPort()).arg(role).toUtf8();
    }
    roles << u"CREATE ROLE labelling_team NOLOGIN"_qs << u"GRANT labelling_team TO carl"_qs;
    QVERIFY2(server.execute(roles), qPrintable(server.errorString()));
    QFile passFile(dir.filePath(u"pgpass"_qs));
    QVERIFY(passFile.open(QIODevice::WriteOnly) && passFile.write(passwords) == passwords.size());
    passFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    passFile.close();
    qputenv("PGPASSFILE", QFile::encodeName(passFile.fileName()));
}

TeamAddress TeamRightsTest::address(const QString &dataset, const QString &role,
                                    const QString &database) const
{
    const QString text = role.isEmpty()
        ? server.address(database, dataset)
        : u"postgresql://%1@127.0.0.1:%2/%3?dataset=%4"_qs.arg(role).arg(server.tcpPort()).arg(database, dataset);
    QString error;
    const auto parsed = TeamAddress::parse(text, &error);
    if (!parsed)
        qFatal("%s", qPrintable(error));
    return *parsed;
}

QSqlError TeamRightsTest::runAs(const QString &role, const QString &statement, QVariant *value,
                                const QString &database)
{
    const QString name = role + u'@' + database;
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(u"QPSQL"_qs, name);
    if (!db.isOpen()) {
        db.setConnectOptions(address(u"x"_qs, role, database).connectOptions());
        if (!db.open())
            return db.lastError();
    }
    QSqlQuery query(db);
    if (!query.exec(statement))
        return query.lastError();
    if (value)
        *value = query.next() ? query.value(0) : QVariant();
    return QSqlError();
}

QVariant TeamRightsTest::ownerValue(const QString &statement, const QString &database)
{
    QVariant value;
    const QSqlError error = runAs(QString(), statement, &value, database);
    if (error.isValid())
        qWarning("%s", qPrintable(error.text()));
    return value;
}

void TeamRightsTest::aForgedNotificationChangesNoWindow()
{
    TeamStore window(address(u"forged"_qs), labelCatalogue(), QString());
    QString error;
    QVERIFY2(window.open(&error), qPrintable(error));
    TeamDatabase other(address(u"forged"_qs), labelCatalogue(), u"bert"_qs, u"other"_qs);
    QVERIFY2(other.open(&error), qPrintable(error));
    const TeamOutcome saved = other.save(u"a.png"_qs, 1, 0);
    QCOMPARE(saved.kind, TeamOutcome::Done);
    QVERIFY(other.announce(TeamDatabase::payloadOf(other.dataset(), saved.row.stamp)));
    QTRY_COMPARE(window.storedLabels(u"a.png"_qs), QStringList{entry(1)});

    // A role with no right on any table tells every window of rows that the
    // table does not hold, of the real row, and of an import that was none.
    QSignalSpy changed(&window, &TeamStore::rowSaved);
    QSignalSpy reloaded(&window, &TeamStore::reloaded);
    const QString id = QString::number(other.dataset());
    for (const QString &payload :
         {id + u"\t999\t524287\t0\tx\tnobody\ta.png"_qs, id + u"\treload"_qs,
          id + u'\t' + QString::number(saved.row.stamp), id + u"\t99999"_qs + u"\n"_qs + id + u"\tx"_qs}) {
        const QSqlError refused = runAs(u"stranger"_qs, u"SELECT pg_notify('norvanta', '%1')"_qs.arg(payload));
        QVERIFY2(!refused.isValid(), qPrintable(refused.text()));
    }
    QTest::qWait(1500);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(reloaded.count(), 0);
    QCOMPARE(window.storedLabels(u"a.png"_qs), QStringList{entry(1)});
    QCOMPARE(window.savedBy(u"a.png"_qs), u"bert"_qs);

    // The window's own save and the others' real ones are heard as before.
    window.showing(u"a.png"_qs);
    QCOMPARE(window.saveRow(u"a.png"_qs, {entry(3)}), SaveResult::Saved);
    QCOMPARE(window.savedBy(u"a.png"_qs), PgServer::superuser());
    const TeamOutcome next = other.save(u"b.png"_qs, 2, 0);
    QVERIFY(other.announce(TeamDatabase::payloadOf(other.dataset(), next.row.stamp)));
    QTRY_COMPARE(window.storedLabels(u"b.png"_qs), QStringList{entry(2)});
    QCOMPARE(window.storedLabels(u"a.png"_qs), QStringList{entry(3)});
}

void TeamRightsTest::membersWriteOnlyThroughTheFunctionsAndAsThemselves()
{
    TeamDatabase owner(address(u"work"_qs), labelCatalogue(), QString(), u"owner"_qs);
    QString error;
    QVERIFY2(owner.open(&error), qPrintable(error));
    bool changed = false;
    QVERIFY2(owner.setMember(u"anna"_qs, true, &changed, &error), qPrintable(error));
    QVERIFY(changed);
    QVERIFY(owner.setMember(u"anna"_qs, true, &changed, &error) && !changed);
    QVERIFY(owner.setMember(u"labelling_team"_qs, true, &changed, &error) && changed);
    QVERIFY(!owner.setMember(u"nobody"_qs, true, &changed, &error));
    QCOMPARE(error, u"服务器上没有角色 nobody"_qs);

    // Saved under the role's name unless a person is named; the role is kept beside it.
    TeamStore anna(address(u"work"_qs, u"anna"_qs), labelCatalogue(), QString());
    QVERIFY2(anna.open(&error), qPrintable(error));
    anna.showing(u"a.png"_qs);
    QCOMPARE(anna.saveRow(u"a.png"_qs, {entry(1)}), SaveResult::Saved);
    QCOMPARE(anna.savedBy(u"a.png"_qs), u"anna"_qs);
    TeamDatabase carl(address(u"work"_qs, u"carl"_qs), labelCatalogue(), u"Carl Person"_qs, u"carl-window"_qs);
    QVERIFY2(carl.open(&error), qPrintable(error));
    QCOMPARE(carl.save(u"b.png"_qs, 2, 0).row.annotator, u"Carl Person"_qs);
    QCOMPARE(carl.hold(u"b.png"_qs).taken, u"b.png"_qs);
    qsizetype imported = 0;
    QVERIFY2(carl.importRows({{u"c.png"_qs, 4}}, &imported, &error), qPrintable(error));
    QCOMPARE(imported, 1);
    const QString dataset = QString::number(owner.dataset());
    QCOMPARE(ownerValue(u"SELECT string_agg(image || ':' || role || ':' || annotator, ' ' ORDER BY image)"
                        " FROM norvanta_annotations WHERE dataset = %1"_qs.arg(dataset)).toString(),
             u"a.png:anna:anna b.png:carl:Carl Person c.png:carl:Carl Person"_qs);
    QCOMPARE(ownerValue(u"SELECT string_agg(role, ' ' ORDER BY id) FROM norvanta_history"
                        " WHERE dataset = %1"_qs.arg(dataset)).toString(),
             u"anna carl carl"_qs);
    QTRY_COMPARE(ownerValue(u"SELECT string_agg(role, ' ' ORDER BY image) FROM norvanta_holds"
                            " WHERE dataset = %1"_qs.arg(dataset)).toString(),
                 u"anna carl"_qs);

    // Nothing but the functions writes, and a hold is given up only by its holder.
    for (const QString &statement :
         {u"UPDATE norvanta_annotations SET flags = 0"_qs,
          u"INSERT INTO norvanta_history (dataset, image, annotator, saved_at, flags_after)"
          " VALUES (%1, 'a.png', 'bert', now() - interval '1 day', 0)"_qs.arg(dataset),
          u"DELETE FROM norvanta_history"_qs, u"DELETE FROM norvanta_holds"_qs,
          u"UPDATE norvanta_holds SET renewed = now() - interval '1 hour'"_qs,
          u"INSERT INTO norvanta_datasets (name) VALUES ('mine')"_qs,
          u"INSERT INTO norvanta_members (dataset, role) VALUES (%1, 'bert')"_qs.arg(dataset)})
        QCOMPARE(runAs(u"anna"_qs, statement).nativeErrorCode(), u"42501"_qs);
    QCOMPARE(runAs(u"anna"_qs, u"SELECT norvanta_open('mine')"_qs).nativeErrorCode(), u"NV002"_qs);
    QVERIFY(!runAs(u"anna"_qs, u"SELECT norvanta_hold(%1, '', 'carl-window', '')"_qs.arg(dataset)).isValid());
    QCOMPARE(ownerValue(u"SELECT count(*) FROM norvanta_holds WHERE holder = 'carl-window'"_qs).toInt(), 1);
    QCOMPARE(ownerValue(u"SELECT count(*) FROM norvanta_history WHERE dataset = %1"_qs.arg(dataset)).toInt(), 3);
    // Only the owner grants.
    QVERIFY(!carl.setMember(u"bert"_qs, true, &changed, &error));
    QCOMPARE(error, u"只有数据库所有者可以授权或收回数据集 work"_qs);
}

void TeamRightsTest::aRoleWithoutAGrantReadsAndWritesNothing()
{
    TeamDatabase owner(address(u"closed"_qs), labelCatalogue(), QString(), u"owner"_qs);
    QString error;
    QVERIFY2(owner.open(&error), qPrintable(error));
    QCOMPARE(owner.save(u"a.png"_qs, 1, 0).kind, TeamOutcome::Done);
    bool changed = false;
    QVERIFY(owner.setMember(u"bert"_qs, true, &changed, &error));

    TeamStore anna(address(u"closed"_qs, u"anna"_qs), labelCatalogue(), QString());
    QVERIFY(!anna.open(&error));
    QCOMPARE(error, u"当前角色无权使用数据集 closed"_qs);
    // Not through SQL either: row security shows none of its rows.
    const QString dataset = QString::number(owner.dataset());
    for (const QString &table : {u"norvanta_annotations"_qs, u"norvanta_history"_qs, u"norvanta_labels"_qs,
                                 u"norvanta_members"_qs}) {
        QVariant count;
        QVERIFY(!runAs(u"stranger"_qs, u"SELECT count(*) FROM %1"_qs.arg(table), &count).isValid());
        QCOMPARE(count.toInt(), 0);
    }
    QVariant count;
    QVERIFY(!runAs(u"bert"_qs, u"SELECT count(*) FROM norvanta_labels"_qs, &count).isValid());
    QCOMPARE(count.toInt(), 1);
    QCOMPARE(runAs(u"anna"_qs, u"SELECT * FROM norvanta_save(%1, 'b.png', 1, 0, '', 'x', 0)"_qs.arg(dataset))
                 .nativeErrorCode(),
             u"NV002"_qs);
    // A grant taken back closes the dataset to the role at its next open.
    TeamDatabase bert(address(u"closed"_qs, u"bert"_qs), labelCatalogue(), QString(), u"b"_qs);
    QVERIFY2(bert.open(&error), qPrintable(error));
    QVERIFY(owner.setMember(u"bert"_qs, false, &changed, &error) && changed);
    QCOMPARE(bert.save(u"b.png"_qs, 1, 0).error, u"当前角色无权使用数据集 closed"_qs);
    bert.close();
    QVERIFY(!bert.open(&error));
    QCOMPARE(error, u"当前角色无权使用数据集 closed"_qs);
    QCOMPARE(ownerValue(u"SELECT count(*) FROM norvanta_annotations WHERE dataset = %1"_qs.arg(dataset)).toInt(), 1);
}

// The first version's tables, view and functions, made as it made them,
// with its README's grants and some rows.
static QStringList firstVersion()
{
    QStringList columns;
    const QStringList labels = labelCatalogue();
    for (qsizetype i = 0; i < labels.size(); ++i)
        columns << u"(a.flags >> %1) & 1 AS \"%2\""_qs.arg(i).arg(labels.at(i));
    return {
        u"CREATE TABLE norvanta_datasets (id integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        " name text NOT NULL UNIQUE, created timestamptz NOT NULL DEFAULT now())"_qs,
        u"CREATE TABLE norvanta_annotations (dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
        " image text NOT NULL, flags integer NOT NULL, version bigint NOT NULL, annotator text NOT NULL,"
        " saved_at timestamptz NOT NULL, client text NOT NULL, PRIMARY KEY (dataset, image))"_qs,
        u"CREATE TABLE norvanta_history (id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        " dataset integer NOT NULL REFERENCES norvanta_datasets (id), image text NOT NULL,"
        " annotator text NOT NULL, saved_at timestamptz NOT NULL, flags_before integer,"
        " flags_after integer NOT NULL)"_qs,
        u"CREATE TABLE norvanta_holds (dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
        " image text NOT NULL, holder text NOT NULL, annotator text NOT NULL,"
        " renewed timestamptz NOT NULL, PRIMARY KEY (dataset, image))"_qs,
        u"CREATE FUNCTION norvanta_save(p_dataset integer, p_image text, p_flags integer, p_known bigint,"
        " p_annotator text, p_client text, p_deadline bigint) RETURNS TABLE (r_conflict boolean,"
        " r_image text, r_flags integer, r_version bigint, r_annotator text, r_saved_ms bigint,"
        " r_client text) LANGUAGE plpgsql AS $$BEGIN END$$"_qs,
        u"CREATE FUNCTION norvanta_take(p_dataset integer, p_candidates text, p_holder text,"
        " p_annotator text) RETURNS text LANGUAGE sql AS $$SELECT NULL::text$$"_qs,
        u"CREATE VIEW norvanta_labels AS SELECT d.name AS dataset, a.image AS \"图片名称\", %1,"
        " a.annotator, a.saved_at FROM norvanta_annotations a JOIN norvanta_datasets d"
        " ON d.id = a.dataset"_qs.arg(columns.join(u", "_qs)),
        u"CREATE ROLE old_team NOLOGIN"_qs, u"GRANT old_team TO anna"_qs,
        u"GRANT SELECT, INSERT ON norvanta_datasets TO old_team"_qs,
        u"GRANT SELECT, INSERT, UPDATE ON norvanta_annotations TO old_team"_qs,
        u"GRANT SELECT, INSERT ON norvanta_history TO old_team"_qs,
        u"GRANT SELECT, INSERT, UPDATE, DELETE ON norvanta_holds TO old_team"_qs,
        u"GRANT SELECT ON norvanta_labels TO old_team"_qs,
        u"INSERT INTO norvanta_datasets (name) VALUES ('pipes')"_qs,
        u"INSERT INTO norvanta_annotations SELECT 1, 'i' || n || '.png', n, 2, 'anna', now(), 'w'"
        " FROM generate_series(1, 3) AS n"_qs,
        u"INSERT INTO norvanta_history (dataset, image, annotator, saved_at, flags_before, flags_after)"
        " SELECT 1, 'i' || (n % 3 + 1) || '.png', 'anna', now(), NULL, n FROM generate_series(1, 4) AS n"_qs,
        u"INSERT INTO norvanta_holds VALUES (1, 'i1.png', 'w', 'anna', now())"_qs,
    };
}

void TeamRightsTest::anOldDatabaseIsBroughtUpToDateByItsOwnerKeepingEveryRow()
{
    QVERIFY2(server.createDatabase(u"old"_qs), qPrintable(server.errorString()));
    QVERIFY2(server.execute(firstVersion(), u"old"_qs), qPrintable(server.errorString()));
    QString error;
    TeamDatabase member(address(u"pipes"_qs, u"anna"_qs, u"old"_qs), labelCatalogue(), QString(), u"m"_qs);
    QVERIFY(!member.open(&error));
    QCOMPARE(error, u"此标签数据库由旧版本的程序创建，须由数据库所有者先用本程序打开一次"_qs);

    TeamDatabase owner(address(u"pipes"_qs, QString(), u"old"_qs), labelCatalogue(), QString(), u"o"_qs);
    QVERIFY2(owner.open(&error), qPrintable(error));
    qsizetype rows = 0;
    QVERIFY(owner.readAll([&rows](TeamRow &&row) { rows += row.version == 2; }, &error));
    QCOMPARE(rows, 3);
    const QString kept = u"SELECT (SELECT count(*) FROM norvanta_history) || ' '"
                         " || (SELECT count(*) FROM norvanta_holds) || ' '"
                         " || (SELECT string_agg(version::text, ',') FROM norvanta_schema)"_qs;
    QCOMPARE(ownerValue(kept, u"old"_qs).toString(), u"4 1 4"_qs);
    QCOMPARE(owner.save(u"i1.png"_qs, 7, 2).kind, TeamOutcome::Done);
    // Once: a second open finds nothing to do.
    TeamDatabase again(address(u"pipes"_qs, QString(), u"old"_qs), labelCatalogue(), QString(), u"a"_qs);
    QVERIFY2(again.open(&error), qPrintable(error));
    QCOMPARE(ownerValue(kept, u"old"_qs).toString(), u"5 1 4"_qs);

    // The first version's grants are gone; the member works once granted.
    QCOMPARE(runAs(u"anna"_qs, u"UPDATE norvanta_annotations SET flags = 0"_qs, nullptr, u"old"_qs)
                 .nativeErrorCode(),
             u"42501"_qs);
    QVERIFY(!member.open(&error));
    QCOMPARE(error, u"当前角色无权使用数据集 pipes"_qs);
    bool changed = false;
    QVERIFY(owner.setMember(u"anna"_qs, true, &changed, &error));
    QVERIFY2(member.open(&error), qPrintable(error));
    QCOMPARE(member.save(u"i2.png"_qs, 1, 2).kind, TeamOutcome::Done);
    QCOMPARE(ownerValue(u"SELECT count(*) FROM norvanta_annotations"_qs, u"old"_qs).toInt(), 3);
}

QTEST_MAIN(TeamRightsTest)
#include "tst_teamrights.moc"
