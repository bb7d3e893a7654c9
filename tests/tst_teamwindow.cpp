// Two windows of one team on a real PostgreSQL server of the test's own,
// each with its own connection, as two people's programs are: what one saves
// shows in the other, a save over the other's is refused once, Ctrl+U never
// gives both the same image, and a lost server fails a save by the rules.
#include "annotationformat.h"
#include "annotationstore.h"
#include "pgserver.h"
#include "labelcatalogue.h"
#include "labelstatisticsmodel.h"
#include "teamdatabase.h"
#include "teamtransfer.h"
#include "labellingsession.h"
#include "suggestions.h"
#include "testwindow.h"
#include "trainingsplit.h"

#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QInputDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListView>
#include <QToolTip>
#include <QSqlDatabase>
#include <QTableView>
#include <QSqlError>
#include <QSqlQuery>
#include <QProcess>
#include <QTest>

#include <chrono>
#include <memory>
#include <thread>

using namespace TestWindow;

class TeamWindowTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void eachWindowSeesTheOthersSavesAndKeepsItsOwnUnsavedLabels();
    void ctrlUNeverGivesTwoWindowsTheSameImage();
    void ctrlINeverGivesTwoWindowsTheSameImage();
    void theDatasetWindowShowsWhoSavedFollowsOthersAndFiltersByThem();
    void aSaveWithoutAnswerFailsAfterItsProgressDialogAndKeepsTheLabels();
    void aStoppedServerFailsTheSaveAndTheNextActionConnectsAnew();
    void aSilentServerNeverWritesAGivenUpSaveNorHoldsTheClosing();
    void unchangedLabelsFollowOthersSavesAfterAMoveAndSaveNothing();
    void mergingOrTakingTheirsSettlesAConflictInOneStepThatUndoTakesBack();
    void theSplitOfATeamsDatasetIsTheSplitOfTheSameRowsInAFile();
    void aReviewerAcceptsOrSendsBackAndTheAnnotatorGetsItBackFirst();
    void aSecondAnnotatorLabelsAChosenImageBlindAndAReviewerSettlesIt();
    void theSecondRoleOtherWindowHearsOfTheGivenImageAndItsConflictNamesOnlyTheSecondRow();
    void aChosenImageWaitsBlindForItsSecondLabellingAndIsGivenWhenShownOrSaved();

private:
    // As `role` (the superuser when empty), named `annotator`.
    std::unique_ptr<Tavrelin> openWindow(const QString &annotator, const QString &role = QString());
    // The dataset's history, oldest first: "who:before>after" in flags, or
    // `entry` of each row.
    QString history(const QString &entry = u"annotator || ':' || coalesce(flags_before::text, '') "
                                           "|| '>' || flags_after"_qs);
    void press(Tavrelin *window, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // The first value of `statement`, which names this test's dataset `d`.
    QString ask(const QString &statement);

    PgServer server;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<DialogAnswerer> answerer;
    QString folder;
    QString address;
    int datasets = 0;
};

void TeamWindowTest::initTestCase()
{
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY2(server.createDatabase(u"team"_qs), qPrintable(server.errorString()));
}

void TeamWindowTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    answerer = std::make_unique<DialogAnswerer>();
    folder = dir->filePath(u"imgs"_qs);
    QDir().mkpath(folder);
    for (const QString &name : {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs})
        writeImage(folder + u'/' + name);
    // A dataset of its own for each test.
    address = server.address(u"team"_qs, u"set%1"_qs.arg(++datasets));
}

void TeamWindowTest::cleanup()
{
    answerer.reset();
    dir.reset();
}

std::unique_ptr<Tavrelin> TeamWindowTest::openWindow(const QString &annotator, const QString &role)
{
    qputenv("NORVANTA_ANNOTATOR", annotator.toUtf8());
    auto window = std::make_unique<Tavrelin>(
        role.isEmpty() ? address : server.address(u"team"_qs, u"set%1"_qs.arg(datasets), role));
    window->show();
    window->openFolder(folder);
    return window;
}

QString TeamWindowTest::history(const QString &entry)
{
    return ask(u"SELECT string_agg(%1, ' ' ORDER BY h.id) FROM norvanta_history h"
               " WHERE h.dataset = d.id"_qs.arg(entry));
}

QString TeamWindowTest::ask(const QString &statement)
{
    QString result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_qs, u"asking"_qs);
        db.setHostName(server.socketFolder());
        db.setDatabaseName(u"team"_qs);
        db.setUserName(PgServer::superuser());
        if (!db.open())
            return db.lastError().text();
        QSqlQuery query(db);
        query.prepare(u"SELECT (%1) FROM norvanta_datasets d WHERE d.name = ?"_qs.arg(statement));
        query.addBindValue(u"set%1"_qs.arg(datasets));
        if (query.exec() && query.next())
            result = query.value(0).toString();
        else
            result = query.lastError().text();
    }
    QSqlDatabase::removeDatabase(u"asking"_qs);
    return result;
}

void TeamWindowTest::press(Tavrelin *window, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, key, modifiers);
}

void TeamWindowTest::eachWindowSeesTheOthersSavesAndKeepsItsOwnUnsavedLabels()
{
    auto anna = openWindow(u"anna"_qs);
    auto ben = openWindow(u"ben"_qs);
    QCOMPARE(label(anna.get(), "savePathLabel")->text(), u"保存路径: "_qs + address);
    QCOMPARE(anna->countLine()->text(), u"已标记: 0 | 未标记: 4"_qs);

    // Anna labels a.png, which Ben shows too without changes: his window follows.
    call(anna.get(), "annotate", entry(11));
    call(anna.get(), "saveAnnotations");
    QTRY_COMPARE(ben->countLine()->text(), u"已标记: 1 | 未标记: 3"_qs);
    QTRY_COMPARE(listTexts(ben.get()), QStringList{entry(11)});
    QVERIFY(!annotationsModified(ben.get()));

    // Ben changes it; Anna saves again: his unsaved labels stay as typed.
    call(ben.get(), "annotate", entry(2));
    call(anna.get(), "annotate", entry(3));
    call(anna.get(), "saveAnnotations");
    QTest::qWait(300);
    QCOMPARE(listTexts(ben.get()), (QStringList{entry(11), entry(2)}));

    // His save is refused, saying who saved what and when; cancelled, he
    // stays on the image with his labels.
    answerer->answerQuestion(QMessageBox::Cancel);
    QTest::mouseClick(button(ben.get(), u"保存并下一张"_qs), Qt::LeftButton);
    const QString when = QDateTime::fromMSecsSinceEpoch(ben->store()->savedAt(u"a.png"_qs))
                             .toString(u"yyyy-MM-dd HH:mm:ss"_qs);
    QVERIFY(qAbs(QDateTime::fromString(when, u"yyyy-MM-dd HH:mm:ss"_qs)
                     .secsTo(QDateTime::currentDateTime())) < 60);
    const QString box = u"此图片的标签已由 anna 于 %1 保存：%2, %3"_qs.arg(when, entry(3), entry(11));
    QCOMPARE(answerer->boxTexts(), QStringList{box});
    QCOMPARE(currentIndex(ben.get()), 0);
    QCOMPARE(listTexts(ben.get()), (QStringList{entry(11), entry(2)}));
    QVERIFY(annotationsModified(ben.get()));
    // The same save again asks again; 覆盖 saves over Anna's, and her
    // window shows his labels.
    answerer->clear();
    answerer->answerQuestion(QMessageBox::Save);
    QTest::mouseClick(button(ben.get(), u"保存并下一张"_qs), Qt::LeftButton);
    QCOMPARE(answerer->boxTexts(), QStringList{box});
    QCOMPARE(currentIndex(ben.get()), 1);
    QTRY_COMPARE(listTexts(anna.get()), (QStringList{entry(2), entry(11)}));
    QVERIFY(callIsImageMarked(anna.get(), u"a.png"_qs));
    QCOMPARE(history(), u"anna:>1024 anna:1024>1028 ben:1028>1026"_qs);
}

void TeamWindowTest::ctrlUNeverGivesTwoWindowsTheSameImage()
{
    auto anna = openWindow(u"anna"_qs);
    auto ben = openWindow(u"ben"_qs);
    press(anna.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(anna.get()), 1);
    // b.png is Anna's now: Ben's Ctrl+U passes it by.
    press(ben.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(ben.get()), 2);
    // The arrows still go anywhere.
    press(ben.get(), Qt::Key_Left);
    QCOMPARE(currentIndex(ben.get()), 1);
    QCOMPARE(answerer->boxTexts(), QStringList());
}

// Both windows' models find the same image least sure: the second window
// is given the next one, which no other window holds.
void TeamWindowTest::ctrlINeverGivesTwoWindowsTheSameImage()
{
    QProcess python;
    python.start(u"/usr/bin/python3"_qs,
                 {QStringLiteral(MAKE_MODEL), dir->filePath(u"tiny"_qs),
                  u"{\"labels\": [\"RO\"], \"weights\": [[1, -1, 0]]}"_qs});
    QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
    auto anna = openWindow(u"anna"_qs);
    auto ben = openWindow(u"ben"_qs);
    for (Tavrelin *window : {anna.get(), ben.get()}) {
        QString error;
        QVERIFY2(window->chooseModel(dir->filePath(u"tiny.onnx"_qs), &error), qPrintable(error));
        QTRY_COMPARE(window->labelling()->suggestions()->predictedCount(), 4);
    }
    press(anna.get(), Qt::Key_I, Qt::ControlModifier);
    const int taken = currentIndex(anna.get());
    QVERIFY(taken > 0);
    press(ben.get(), Qt::Key_I, Qt::ControlModifier);
    QVERIFY(currentIndex(ben.get()) > 0);
    QVERIFY(currentIndex(ben.get()) != taken);
    QCOMPARE(answerer->boxTexts(), QStringList());
}

void TeamWindowTest::theDatasetWindowShowsWhoSavedFollowsOthersAndFiltersByThem()
{
    auto anna = openWindow(u"anna"_qs);
    auto ben = openWindow(u"ben"_qs);
    call(anna.get(), "annotate", entry(1));
    call(anna.get(), "saveAnnotations");
    press(ben.get(), Qt::Key_D, Qt::ControlModifier);
    auto *dataset = ben->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset);
    auto *table = dataset->findChild<QTableView *>(u"imageTable"_qs);
    auto *summary = dataset->findChild<QLabel *>(u"summaryLine"_qs);
    QCOMPARE(table->model()->columnCount(), 6);
    QCOMPARE(table->model()->headerData(4, Qt::Horizontal).toString(), u"保存者"_qs);
    QTRY_VERIFY2(table->model()->index(0, 4).data().toString().startsWith(u"anna，"_qs),
                 qPrintable(table->model()->index(0, 4).data().toString()));
    QCOMPARE(table->model()->index(1, 4).data().toString(), QString());

    // Anna's next save shows in Ben's open dataset window by itself.
    call(anna.get(), "nextImage");
    call(anna.get(), "annotate", entry(2));
    call(anna.get(), "saveAnnotations");
    QTRY_COMPARE(summary->text(), u"共 4 张 | 已标记 2 | 未标记 2"_qs);
    QCOMPARE(table->model()->index(1, 3).data().toString(), entry(2));

    // Keeping what Anna saved last.
    call(ben.get(), "nextImage");
    call(ben.get(), "nextImage");
    call(ben.get(), "annotate", entry(3));
    call(ben.get(), "saveAnnotations");
    auto *filter = dataset->findChild<QComboBox *>(u"labelFilter"_qs);
    // After the fixed choices and the one for "no defect" beside a defect,
    // before the three review choices and the one of differing labellings.
    QCOMPARE(filter->count(), 3 + 19 + 1 + 2 + 3 + 1);
    QCOMPARE(filter->itemText(23), u"由 anna 保存"_qs);
    filter->setCurrentIndex(23);
    QCOMPARE(dataset->findChild<QLabel *>(u"shownLine"_qs)->text(), u"显示 2 / 4"_qs);
    filter->setCurrentIndex(24);
    QCOMPARE(dataset->findChild<QLabel *>(u"shownLine"_qs)->text(), u"显示 1 / 4"_qs);
    QCOMPARE(table->model()->index(0, 1).data().toString(), u"c.png"_qs);
}

void TeamWindowTest::aSaveWithoutAnswerFailsAfterItsProgressDialogAndKeepsTheLabels()
{
    auto anna = openWindow(u"anna"_qs);
    call(anna.get(), "annotate", entry(1));
    call(anna.get(), "saveAnnotations");
    // Another session holds the row locked: the save gets no answer.
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_qs, u"locker"_qs);
    db.setHostName(server.socketFolder());
    db.setDatabaseName(u"team"_qs);
    db.setUserName(PgServer::superuser());
    QVERIFY2(db.open(), qPrintable(db.lastError().text()));
    QVERIFY(db.transaction());
    QSqlQuery lock(db);
    QVERIFY(lock.exec(u"SELECT * FROM norvanta_annotations WHERE image = 'a.png' FOR UPDATE"_qs));

    call(anna.get(), "annotate", entry(2));
    QTest::mouseClick(button(anna.get(), u"保存并下一张"_qs), Qt::LeftButton);
    QCOMPARE(answerer->progressTexts, QStringList{u"正在保存到标签数据库…"_qs});
    QCOMPARE(answerer->boxTexts(), QStringList{u"无法连接标签数据库，标签未保存"_qs});
    QCOMPARE(currentIndex(anna.get()), 0);
    QCOMPARE(listTexts(anna.get()), (QStringList{entry(1), entry(2)}));
    QVERIFY(annotationsModified(anna.get()));
    db.rollback();
    db.close();

    // The server gave the save up too: nothing was written behind the window's back.
    answerer->clear();
    QTest::mouseClick(button(anna.get(), u"保存并下一张"_qs), Qt::LeftButton);
    QCOMPARE(answerer->boxTexts(), QStringList());
    QCOMPARE(currentIndex(anna.get()), 1);
    QCOMPARE(anna->store()->storedLabels(u"a.png"_qs), (QStringList{entry(1), entry(2)}));
}

void TeamWindowTest::aStoppedServerFailsTheSaveAndTheNextActionConnectsAnew()
{
    auto anna = openWindow(u"anna"_qs);
    QVERIFY(server.stop());
    call(anna.get(), "annotate", entry(5));
    QTest::mouseClick(button(anna.get(), u"保存并下一张"_qs), Qt::LeftButton);
    QCOMPARE(answerer->boxTexts(), QStringList{u"无法连接标签数据库，标签未保存"_qs});
    QCOMPARE(currentIndex(anna.get()), 0);
    QVERIFY(annotationsModified(anna.get()));
    // What is known is still shown.
    press(anna.get(), Qt::Key_Right);
    QCOMPARE(anna->countLine()->text(), u"已标记: 0 | 未标记: 4"_qs);
    press(anna.get(), Qt::Key_Left);

    QVERIFY2(server.restart(), qPrintable(server.errorString()));
    answerer->clear();
    call(anna.get(), "annotate", entry(5));
    QTest::mouseClick(button(anna.get(), u"保存并下一张"_qs), Qt::LeftButton);
    QCOMPARE(answerer->boxTexts(), QStringList());
    QCOMPARE(currentIndex(anna.get()), 1);
    QCOMPARE(anna->countLine()->text(), u"已标记: 1 | 未标记: 3"_qs);
}

// The server stops answering (SIGSTOP of its processes): Ctrl+S fails
// after five seconds, and the save is not written when the server goes on;
// the window closes within a second all the same.
void TeamWindowTest::aSilentServerNeverWritesAGivenUpSaveNorHoldsTheClosing()
{
    auto anna = openWindow(u"anna"_qs);
    call(anna.get(), "annotate", entry(7));
    QVERIFY2(server.pause(), qPrintable(server.errorString()));
    // Resumed in any case, so that a window that waits for it ends.
    std::thread resuming([this] {
        std::this_thread::sleep_for(std::chrono::seconds(9));
        server.resume();
    });
    QElapsedTimer waited;
    waited.start();
    press(anna.get(), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(answerer->boxTexts(), QStringList{u"无法连接标签数据库，标签未保存"_qs});
    QVERIFY(waited.elapsed() < 6000);
    QVERIFY(annotationsModified(anna.get()));
    waited.restart();
    anna.reset();
    const qint64 closing = waited.elapsed();
    resuming.join();
    QVERIFY2(closing < 1500, qPrintable(QString::number(closing)));

    answerer->clear();
    auto ben = openWindow(u"ben"_qs);
    QTest::qWait(500);
    QCOMPARE(ben->countLine()->text(), u"已标记: 0 | 未标记: 4"_qs);
    QCOMPARE(ben->store()->row(u"a.png"_qs), QByteArray());
}

// With the change flag kept across a move by a view button, labels that
// are the shown image's stored row follow another's save, and Return
// then writes nothing and refuses nothing.
void TeamWindowTest::unchangedLabelsFollowOthersSavesAfterAMoveAndSaveNothing()
{
    auto anna = openWindow(u"anna"_qs);
    auto ben = openWindow(u"ben"_qs);
    call(ben.get(), "annotate", entry(4));
    call(ben.get(), "nextImage");
    QVERIFY(annotationsModified(ben.get()));
    call(anna.get(), "nextImage");
    call(anna.get(), "annotate", entry(6));
    call(anna.get(), "saveAnnotations");
    QTRY_COMPARE(listTexts(ben.get()), QStringList{entry(6)});

    press(ben.get(), Qt::Key_Return);
    QCOMPARE(answerer->boxTexts(), QStringList());
    QCOMPARE(currentIndex(ben.get()), 2);
    QTest::qWait(300);
    QCOMPARE(anna->store()->savedBy(u"b.png"_qs), u"anna"_qs);
    QCOMPARE(anna->store()->storedLabels(u"b.png"_qs), QStringList{entry(6)});
}

// Both windows show a.png when Anna saves it. Ben's 合并 saves the union,
// and the window that showed Anna's row says who changed it; his 采用对方
// on b.png shows her row and writes nothing. Each is one undo step, which
// brings his own labels back unsaved.
void TeamWindowTest::mergingOrTakingTheirsSettlesAConflictInOneStepThatUndoTakesBack()
{
    const auto note = [] { return QToolTip::isVisible() ? QToolTip::text() : QString(); };
    auto anna = openWindow(u"anna"_qs);
    auto ben = openWindow(u"ben"_qs);
    call(ben.get(), "annotate", entry(2));
    call(anna.get(), "annotate", entry(3));
    call(anna.get(), "saveAnnotations");
    QTRY_COMPARE(ben->store()->storedLabels(u"a.png"_qs), QStringList{entry(3)});

    answerer->answerQuestion(QMessageBox::SaveAll);
    press(ben.get(), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(answerer->boxes.size(), 1);
    QCOMPARE(answerer->boxes.at(0).defaultButton, QMessageBox::Cancel);
    QCOMPARE(listTexts(ben.get()), (QStringList{entry(2), entry(3)}));
    QVERIFY(!annotationsModified(ben.get()));
    QTRY_COMPARE(listTexts(anna.get()), (QStringList{entry(2), entry(3)}));
    QTRY_COMPARE(note(), u"ben 已更改此图片的标签"_qs);
    QTRY_COMPARE(note(), QString());
    press(ben.get(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(ben->store()->storedLabels(u"a.png"_qs), QStringList{entry(3)});
    QCOMPARE(listTexts(ben.get()), QStringList{entry(2)});
    QVERIFY(annotationsModified(ben.get()));
    QCOMPARE(history(), u"anna:>4 ben:4>6 ben:6>4"_qs);

    call(ben.get(), "nextImage");
    call(ben.get(), "annotate", entry(5));
    call(anna.get(), "nextImage");
    call(anna.get(), "annotate", entry(7));
    call(anna.get(), "saveAnnotations");
    press(anna.get(), Qt::Key_Delete);
    call(anna.get(), "saveAnnotations");
    QTRY_VERIFY(ben->store()->facts(u"b.png"_qs).hasRow && !ben->store()->isMarked(u"b.png"_qs));
    answerer->clear();
    answerer->answerQuestion(QMessageBox::Discard);
    press(ben.get(), Qt::Key_Return);
    QCOMPARE(answerer->boxTexts().size(), 1);
    QVERIFY2(answerer->boxTexts().at(0).endsWith(u" 保存：无标签"_qs), qPrintable(answerer->boxTexts().at(0)));
    QCOMPARE(currentIndex(ben.get()), 1);
    QCOMPARE(listTexts(ben.get()), QStringList());
    QVERIFY(!annotationsModified(ben.get()));
    press(ben.get(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(listTexts(ben.get()), QStringList{entry(5)});
    QVERIFY(annotationsModified(ben.get()));
    press(ben.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(listTexts(ben.get()), QStringList());
    QVERIFY(!annotationsModified(ben.get()));
    QCOMPARE(history(), u"anna:>4 ben:4>6 ben:6>4 anna:>64 anna:64>0"_qs);
}

// 导出划分 in the dataset window of a team's dataset writes the split that
// the same rows give in a file, in the order an export writes them.
void TeamWindowTest::theSplitOfATeamsDatasetIsTheSplitOfTheSameRowsInAFile()
{
    QByteArray content = headerLine();
    for (int i = 0; i < 40; ++i)
        content += row(u"img%1.png"_qs.arg(i, 2, 10, QChar(u'0')), {i % 5 + 1, i % 3 == 0 ? 11 : 12});
    content += row(u"zz.png"_qs);
    const QString csv = dir->filePath(u"rows.csv"_qs);
    writeFile(csv, content);
    QString error;
    const auto parsed = TeamAddress::parse(address, &error);
    QVERIFY2(parsed, qPrintable(error));
    const auto imported = TeamTransfer::importFile(csv, *parsed, catalogue(), u"anna"_qs);
    QVERIFY2(imported.ok, qPrintable(imported.text));

    auto ben = openWindow(u"ben"_qs);
    press(ben.get(), Qt::Key_D, Qt::ControlModifier);
    auto *dataset = ben->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset);
    auto *splitExport = dataset->findChild<QPushButton *>(u"splitExport"_qs);
    QVERIFY(splitExport->isEnabled());
    splitExport->click();
    auto *dialog = dataset->findChild<QDialog *>(u"splitDialog"_qs);
    QVERIFY(dialog);
    QCOMPARE(dialog->findChild<QLabel *>(u"splitPreview"_qs)->text(),
             u"将划分 40 张已标记的图片，40 组；1 张未标记的图片不划分。"_qs);
    const QString fromTeam = dir->filePath(u"team"_qs);
    dialog->findChild<QLineEdit *>(u"outputFolder"_qs)->setText(fromTeam);
    dialog->findChild<QPushButton *>(u"writeSplit"_qs)->click();
    QCOMPARE(answerer->boxes.size(), 1);
    QVERIFY2(answerer->boxTexts().at(0).startsWith(u"已写入"_qs), qPrintable(answerer->boxTexts().at(0)));

    const QString fromFile = dir->filePath(u"file"_qs);
    QVERIFY(TrainingSplit::run(csv, catalogue(), TrainingSplit::Settings(), fromFile).written);
    for (const QString &name : TrainingSplit::outputNames())
        QCOMPARE(readFile(fromTeam + u'/' + name), readFile(fromFile + u'/' + name));
}

// Mona saves, Rita reviews: an acceptance and a send back through the keys,
// each in the history as Rita's; the image sent back is the first Mona's
// Ctrl+U goes to, with the reason beside the label buttons until she saves.
void TeamWindowTest::aReviewerAcceptsOrSendsBackAndTheAnnotatorGetsItBackFirst()
{
    QVERIFY(server.execute({u"CREATE ROLE rita LOGIN"_qs, u"CREATE ROLE mona LOGIN"_qs}));
    {
        QString error;
        TeamDatabase owner(*TeamAddress::parse(address, &error), labelCatalogue(), QString(), u"o"_qs);
        bool changed = false;
        QVERIFY2(owner.open(&error) && owner.setMember(u"rita"_qs, true, &changed, &error, true)
                     && owner.setMember(u"mona"_qs, true, &changed, &error),
                 qPrintable(error));
    }
    const auto note = [] { return QToolTip::isVisible() ? QToolTip::text() : QString(); };
    auto mona = openWindow(u"mona"_qs, u"mona"_qs);
    auto rita = openWindow(u"rita"_qs, u"rita"_qs);
    for (const int given : {1, 2}) {
        call(mona.get(), "annotate", entry(given));
        call(mona.get(), "saveAnnotations");
        call(mona.get(), "nextImage");
    }
    AnnotationStore *seen = rita->store();
    QTRY_VERIFY(seen->facts(u"b.png"_qs).hasRow);
    QTRY_COMPARE(listTexts(rita.get()), QStringList{entry(1)});
    press(rita.get(), Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QTRY_COMPARE(note(), u"已审核"_qs);
    QCOMPARE(seen->reviewOf(u"a.png"_qs), AnnotationStore::Accepted);

    // A cancelled reason sends nothing back; a given one does. The one-line
    // dialog is answered here: the answerer would close it.
    call(rita.get(), "nextImage");
    QVERIFY(answerer->boxTexts().isEmpty());
    answerer.reset();
    for (const bool given : {false, true}) {
        auto *answering = new QTimer(rita.get());
        QObject::connect(answering, &QTimer::timeout, answering, [answering, given] {
            auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            dialog->setTextValue(u"  树根\t不对 "_qs);
            given ? dialog->accept() : dialog->reject();
            answering->stop();
            answering->deleteLater();
        });
        answering->start(20);
        press(rita.get(), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(seen->reviewOf(u"b.png"_qs),
                 given ? AnnotationStore::SentBack : AnnotationStore::Unreviewed);
    }
    answerer = std::make_unique<DialogAnswerer>();
    QTRY_COMPARE(note(), u"已退回"_qs);
    QCOMPARE(history(u"annotator || '/' || role || '/' || coalesce(review::text, '') || '/' "
                     "|| flags_after || coalesce('/' || review_reason, '')"_qs),
             u"mona/mona//1 mona/mona//2 rita/rita/1/1/ rita/rita/2/2/树根 不对"_qs);

    // Rita's dataset window: the column, the filters, Mona's figures.
    press(rita.get(), Qt::Key_D, Qt::ControlModifier);
    auto *dataset = rita->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset);
    QAbstractItemModel *rows = dataset->findChild<QTableView *>(u"imageTable"_qs)->model();
    auto *filter = dataset->findChild<QComboBox *>(u"labelFilter"_qs);
    QCOMPARE(rows->headerData(5, Qt::Horizontal).toString(), u"审核"_qs);
    QCOMPARE(rows->index(0, 5).data().toString() + rows->index(1, 5).data().toString()
                 + rows->index(2, 5).data().toString(),
             u"已审核已退回"_qs);
    const auto kept = [rows] {
        QStringList names;
        for (int row = 0; row < rows->rowCount(); ++row)
            names << rows->index(row, 1).data().toString();
        return names.join(u' ');
    };
    const auto choose = [filter](const QString &text) {
        filter->setCurrentIndex(filter->findText(text));
        QVERIFY(filter->currentIndex() >= 0);
    };
    choose(u"已退回"_qs);
    QCOMPARE(kept(), u"b.png"_qs);
    choose(u"已审核"_qs);
    QCOMPARE(kept(), u"a.png"_qs);
    choose(u"待审核"_qs);
    QCOMPARE(kept(), QString());
    // Nobody labelled these twice: nothing differs, and no agreement shows.
    choose(u"标注不一致"_qs);
    QCOMPARE(kept(), QString());
    QVERIFY(dataset->findChild<QTableView *>(u"labelStatistics"_qs)
                ->isColumnHidden(LabelStatisticsModel::Kappa));
    choose(u"待审核"_qs);
    QCOMPARE(filter->itemData(filter->findText(u"由 mona 保存"_qs), Qt::ToolTipRole).toString(),
             u"已保存 2 张，已审核 1 张，已退回 1 张"_qs);

    // Mona is on c.png: her Ctrl+U goes back to b.png, which says why.
    QTRY_COMPARE(mona->store()->reviewOf(u"b.png"_qs), AnnotationStore::SentBack);
    press(mona.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(mona.get()), 1);
    QTRY_COMPARE(note(), u"已退回：树根 不对"_qs);
    // She reviews nothing.
    press(mona.get(), Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QTRY_COMPARE(note(), u"只有审核人可以审核"_qs);
    QCOMPARE(mona->store()->reviewOf(u"a.png"_qs), AnnotationStore::Accepted);

    // Her save clears the send back, and one after an acceptance clears that.
    call(mona.get(), "annotate", entry(3));
    call(mona.get(), "saveAnnotations");
    call(mona.get(), "previousImage");
    call(mona.get(), "annotate", entry(3));
    call(mona.get(), "saveAnnotations");
    QTRY_COMPARE(seen->reviewOf(u"b.png"_qs), AnnotationStore::Unreviewed);
    QTRY_COMPARE(seen->reviewOf(u"a.png"_qs), AnnotationStore::Unreviewed);
    QTRY_VERIFY(!note().startsWith(u"已退回"_qs));
    QTRY_COMPARE(kept(), u"a.png b.png"_qs);
    press(mona.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(mona.get()), 2);
    QCOMPARE(answerer->boxTexts(), QStringList());

    // Nor is a row sent back without a reason through SQL's own door.
    QString error;
    TeamDatabase owner(*TeamAddress::parse(address, &error), labelCatalogue(), QString(), u"o"_qs);
    TeamRow row;
    QVERIFY(owner.open(&error) && owner.readRow(u"b.png"_qs, &row));
    const TeamOutcome refused = owner.review(u"b.png"_qs, row.version, false, u"\t "_qs);
    QCOMPARE(refused.kind, TeamOutcome::Failed);
    QCOMPARE(refused.error, u"退回须说明原因"_qs);
}

// Every image is chosen at 100 %. Pia saves c.png; Nils's Ctrl+U is given
// it to label second and sees no trace of her row anywhere; his save (and
// its undo) goes into the second row, hers stays; nobody else is given it;
// Rhea, a reviewer, sees both labellings and settles the image by saving.
void TeamWindowTest::aSecondAnnotatorLabelsAChosenImageBlindAndAReviewerSettlesIt()
{
    QVERIFY(server.execute({u"CREATE ROLE pia LOGIN"_qs, u"CREATE ROLE nils LOGIN"_qs,
                            u"CREATE ROLE olga LOGIN"_qs, u"CREATE ROLE rhea LOGIN"_qs,
                            u"CREATE ROLE max LOGIN"_qs}));
    QString error;
    const auto as = [this, &error](const QString &role) {
        return std::make_unique<TeamDatabase>(
            *TeamAddress::parse(server.address(u"team"_qs, u"set%1"_qs.arg(datasets), role), &error),
            labelCatalogue(), QString(), u"probe-"_qs + role);
    };
    {
        auto owner = as(PgServer::superuser());
        bool changed = false;
        QVERIFY2(owner->open(&error) && owner->setOverlap(100, &error), qPrintable(error));
        for (const QString &role : {u"pia"_qs, u"nils"_qs, u"olga"_qs, u"rhea"_qs, u"max"_qs})
            QVERIFY2(owner->setMember(role, true, &changed, &error, role == u"rhea"_qs), qPrintable(error));
    }
    const auto second = [this](const QString &column) {
        return ask(u"SELECT coalesce(%1::text, '-') FROM norvanta_second_rows s"
                   " WHERE s.dataset = d.id AND s.image = 'c.png'"_qs.arg(column));
    };
    auto pia = openWindow(u"pia"_qs, u"pia"_qs);
    call(pia.get(), "nextImage");
    call(pia.get(), "nextImage");
    call(pia.get(), "annotate", entry(1));
    call(pia.get(), "saveAnnotations");
    call(pia.get(), "nextImage");
    QTRY_COMPARE(ask(u"SELECT string_agg(image, ' ') FROM norvanta_holds h"
                     " WHERE h.dataset = d.id AND h.role = 'pia'"_qs), u"d.png"_qs);
    // The role that saved the first row is never given the second.
    auto first = as(u"pia"_qs);
    QVERIFY2(first->open(&error), qPrintable(error));
    QCOMPARE(first->takeSecond({u"c.png"_qs}).taken, QString());

    // A window that showed her row (a reviewer's may) is not given it to
    // label second.
    {
        auto seer = openWindow(u"rhea"_qs, u"rhea"_qs);
        call(seer.get(), "nextImage");
        call(seer.get(), "nextImage");
        QCOMPARE(listTexts(seer.get()), QStringList{entry(1)});
        call(seer.get(), "previousImage");
        press(seer.get(), Qt::Key_U, Qt::ControlModifier);
        QVERIFY(currentIndex(seer.get()) != 2);
        QCOMPARE(second(u"s.role"_qs), QString());
    }

    auto nils = openWindow(u"nils"_qs, u"nils"_qs);
    // Waiting for its second labelling, it is blind before it is given.
    QCOMPARE(nils->countLine()->text(), u"已标记: 0 | 未标记: 4"_qs);
    press(nils.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(nils.get()), 2);
    QCOMPARE(listTexts(nils.get()), QStringList());
    QCOMPARE(nils->countLine()->text(), u"已标记: 0 | 未标记: 4"_qs);
    press(nils.get(), Qt::Key_Z);
    QTRY_VERIFY(nils->findChild<QLabel *>(u"inspectionState"_qs));
    QCOMPARE(nils->findChild<QLabel *>(u"inspectionState"_qs)->text(), u"未标记"_qs);
    QCOMPARE(nils->findChild<QListView *>(u"inspectionLabels"_qs)->model()->rowCount(), 0);
    press(nils.get(), Qt::Key_D, Qt::ControlModifier);
    auto *dataset = nils->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset);
    QAbstractItemModel *rows = dataset->findChild<QTableView *>(u"imageTable"_qs)->model();
    for (int column = 3; column < rows->columnCount(); ++column)
        QCOMPARE(rows->index(2, column).data().toString(), QString());
    QCOMPARE(dataset->findChild<QLabel *>(u"summaryLine"_qs)->text(), u"共 4 张 | 已标记 0 | 未标记 4"_qs);

    // His save is the second row; the dataset's row stays Pia's, and
    // Ctrl+Z makes the second row unsaved again.
    call(nils.get(), "annotate", entry(5));
    call(nils.get(), "saveAnnotations");
    QCOMPARE(second(u"s.flags"_qs), u"16"_qs);
    QCOMPARE(history(), u"pia:>1"_qs);
    QVERIFY(rows->index(2, 4).data().toString().startsWith(u"nils，"_qs));
    QVERIFY(!nils->store()->doubleLabelsOf(u"c.png"_qs).has_value());
    press(nils.get(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(second(u"s.flags"_qs), u"-"_qs);
    QCOMPARE(listTexts(nils.get()), QStringList{entry(5)});
    press(nils.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(second(u"s.flags"_qs), u"16"_qs);
    QCOMPARE(answerer->boxTexts(), QStringList());
    call(nils.get(), "nextImage");

    // Given once: no third annotator gets it, by Ctrl+U or by the server.
    auto olga = openWindow(u"olga"_qs, u"olga"_qs);
    press(olga.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(olga.get()), 1);
    auto third = as(u"olga"_qs);
    QVERIFY2(third->open(&error), qPrintable(error));
    QCOMPARE(third->takeSecond({u"c.png"_qs}).taken, QString());
    QCOMPARE(olga->store()->storedLabels(u"c.png"_qs), QStringList{entry(1)});

    // Rhea sees both, and her save settles the image: the final row in the
    // dataset, accepted, the first row kept beside the second.
    auto rhea = openWindow(u"rhea"_qs, u"rhea"_qs);
    const AnnotationStore::DoubleLabels seen = rhea->store()->doubleLabelsOf(u"c.png"_qs).value();
    QCOMPARE(seen.first, 1u);
    QCOMPARE(seen.second, 16u);
    QVERIFY(!seen.settled);
    // Her dataset window shows the pair in the agreement and among the
    // differing ones, until she settles it.
    press(rhea.get(), Qt::Key_D, Qt::ControlModifier);
    auto *table = rhea->findChild<QWidget *>(u"datasetWindow"_qs);
    auto *statistics = table->findChild<QTableView *>(u"labelStatistics"_qs);
    QTRY_VERIFY(!statistics->isColumnHidden(LabelStatisticsModel::Kappa));
    QCOMPARE(statistics->model()->index(0, LabelStatisticsModel::Doubled).data().toString(), u"1"_qs);
    auto *filter = table->findChild<QComboBox *>(u"labelFilter"_qs);
    filter->setCurrentIndex(filter->findText(u"标注不一致"_qs));
    QCOMPARE(table->findChild<QLabel *>(u"shownLine"_qs)->text(), u"显示 1 / 4"_qs);
    call(rhea.get(), "nextImage");
    call(rhea.get(), "nextImage");
    QCOMPARE(listTexts(rhea.get()), QStringList{entry(1)});
    call(rhea.get(), "annotate", entry(5));
    call(rhea.get(), "saveAnnotations");
    QCOMPARE(rhea->store()->reviewOf(u"c.png"_qs), AnnotationStore::Accepted);
    QTRY_COMPARE(table->findChild<QLabel *>(u"shownLine"_qs)->text(), u"显示 0 / 4"_qs);
    QVERIFY(rhea->store()->doubleLabelsOf(u"c.png"_qs).value().settled);
    QCOMPARE(second(u"s.first_flags || '/' || s.settled_by || '/' || (s.settled_at IS NOT NULL)"_qs),
             u"1/rhea/true"_qs);
    QCOMPARE(history(u"annotator || ':' || flags_after || '/' || coalesce(review::text, '')"_qs),
             u"pia:1/ rhea:17/ rhea:17/1"_qs);
    QTRY_VERIFY(pia->store()->doubleLabelsOf(u"c.png"_qs).has_value()
                && pia->store()->doubleLabelsOf(u"c.png"_qs)->settled);
    QCOMPARE(pia->store()->doubleLabelsOf(u"c.png"_qs)->first, 1u);
    QCOMPARE(answerer->boxTexts(), QStringList());
}

// Two windows of the role given c.png to label second: the other one learns
// of it by the notification and shows it blind, and a save over the first
// window's second row is refused naming that row, never the dataset's.
void TeamWindowTest::theSecondRoleOtherWindowHearsOfTheGivenImageAndItsConflictNamesOnlyTheSecondRow()
{
    QVERIFY(server.execute({u"CREATE ROLE uma LOGIN"_qs, u"CREATE ROLE vic LOGIN"_qs}));
    QString error;
    {
        TeamDatabase owner(*TeamAddress::parse(address, &error), labelCatalogue(), QString(), u"o"_qs);
        bool changed = false;
        QVERIFY2(owner.open(&error) && owner.setOverlap(100, &error)
                     && owner.setMember(u"uma"_qs, true, &changed, &error)
                     && owner.setMember(u"vic"_qs, true, &changed, &error),
                 qPrintable(error));
    }
    auto uma = openWindow(u"uma"_qs, u"uma"_qs);
    call(uma.get(), "nextImage");
    call(uma.get(), "nextImage");
    call(uma.get(), "annotate", entry(1));
    call(uma.get(), "saveAnnotations");
    call(uma.get(), "nextImage");
    QTRY_COMPARE(ask(u"SELECT string_agg(image, ' ') FROM norvanta_holds h"
                     " WHERE h.dataset = d.id AND h.role = 'uma'"_qs), u"d.png"_qs);
    auto vic = openWindow(u"vic"_qs, u"vic"_qs);
    auto other = openWindow(u"victor"_qs, u"vic"_qs);
    call(other.get(), "nextImage");
    QCOMPARE(other->countLine()->text(), u"已标记: 0 | 未标记: 4"_qs);
    press(vic.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(vic.get()), 2);
    QTRY_COMPARE(other->countLine()->text(), u"已标记: 0 | 未标记: 4"_qs);
    QVERIFY(!other->store()->facts(u"c.png"_qs).hasRow);

    call(vic.get(), "annotate", entry(5));
    call(vic.get(), "saveAnnotations");
    QTRY_COMPARE(other->store()->storedLabels(u"c.png"_qs), QStringList{entry(5)});
    call(other.get(), "nextImage");
    QCOMPARE(listTexts(other.get()), QStringList{entry(5)});
    call(other.get(), "annotate", entry(7));
    call(vic.get(), "annotate", entry(6));
    call(vic.get(), "saveAnnotations");
    answerer->answerQuestion(QMessageBox::Cancel);
    press(other.get(), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(answerer->boxTexts().size(), 1);
    const QString box = answerer->boxTexts().at(0);
    QVERIFY2(box.startsWith(u"此图片的标签已由 vic 于 "_qs)
                 && box.endsWith(u" 保存：%1, %2"_qs.arg(entry(5), entry(6))),
             qPrintable(box));
    QCOMPARE(ask(u"SELECT flags || '/' || annotator FROM norvanta_second_rows s"
                 " WHERE s.dataset = d.id"_qs), u"48/vic"_qs);
    QCOMPARE(history(), u"uma:>1"_qs);
}

// Every image is chosen. Pia saves a.png and b.png and stays on b.png; her
// role's windows see them whatever their annotator's name. Nils's
// window, opened then, shows both blind at once; showing a.png gets it given
// to him, and his save lands in its second row. b.png, which her window
// still shows, cannot be given: his save of it is refused, never written
// over her row, and goes into his second row once she moved on. Olga, a
// third role, sees both of Pia's rows: they were given to another.
void TeamWindowTest::aChosenImageWaitsBlindForItsSecondLabellingAndIsGivenWhenShownOrSaved()
{
    QVERIFY(server.execute({u"CREATE ROLE pia2 LOGIN"_qs, u"CREATE ROLE nils2 LOGIN"_qs,
                            u"CREATE ROLE olga2 LOGIN"_qs}));
    QString error;
    {
        TeamDatabase owner(*TeamAddress::parse(address, &error), labelCatalogue(), QString(), u"o"_qs);
        bool changed = false;
        QVERIFY2(owner.open(&error) && owner.setOverlap(100, &error), qPrintable(error));
        for (const QString &role : {u"pia2"_qs, u"nils2"_qs, u"olga2"_qs})
            QVERIFY2(owner.setMember(role, true, &changed, &error), qPrintable(error));
    }
    const auto second = [this](const QString &image) {
        return ask(u"SELECT coalesce(s.role || '/' || coalesce(s.flags::text, '-'), '') FROM"
                   " norvanta_second_rows s WHERE s.dataset = d.id AND s.image = '%1'"_qs.arg(image));
    };
    auto pia = openWindow(u"pia2"_qs, u"pia2"_qs);
    call(pia.get(), "annotate", entry(1));
    call(pia.get(), "saveAnnotations");
    call(pia.get(), "nextImage");
    call(pia.get(), "annotate", entry(2));
    call(pia.get(), "saveAnnotations");
    QTRY_COMPARE(ask(u"SELECT string_agg(image, ' ') FROM norvanta_holds h"
                     " WHERE h.dataset = d.id AND h.role = 'pia2'"_qs), u"b.png"_qs);
    // Her role's other window, under another name, sees her rows.
    {
        auto paula = openWindow(u"paula"_qs, u"pia2"_qs);
        QCOMPARE(listTexts(paula.get()), QStringList{entry(1)});
        QCOMPARE(paula->countLine()->text(), u"已标记: 2 | 未标记: 2"_qs);
    }

    auto nils = openWindow(u"nils2"_qs, u"nils2"_qs);
    QCOMPARE(currentIndex(nils.get()), 0);
    QCOMPARE(listTexts(nils.get()), QStringList());
    QCOMPARE(nils->countLine()->text(), u"已标记: 0 | 未标记: 4"_qs);
    press(nils.get(), Qt::Key_D, Qt::ControlModifier);
    QAbstractItemModel *rows =
        nils->findChild<QWidget *>(u"datasetWindow"_qs)->findChild<QTableView *>(u"imageTable"_qs)->model();
    for (int row = 0; row < 2; ++row) {
        for (int column = 3; column < rows->columnCount(); ++column)
            QCOMPARE(rows->index(row, column).data().toString(), QString());
    }
    QTRY_COMPARE(second(u"a.png"_qs), u"nils2/-"_qs);
    call(nils.get(), "annotate", entry(5));
    call(nils.get(), "saveAnnotations");
    QCOMPARE(second(u"a.png"_qs), u"nils2/16"_qs);

    call(nils.get(), "nextImage");
    QCOMPARE(listTexts(nils.get()), QStringList());
    call(nils.get(), "annotate", entry(6));
    call(nils.get(), "saveAnnotations");
    QCOMPARE(history(), u"pia2:>1 pia2:>2"_qs);
    QCOMPARE(second(u"b.png"_qs), QString());
    QCOMPARE(listTexts(nils.get()), QStringList{entry(6)});
    QCOMPARE(answerer->boxTexts(), QStringList{u"此图片正由其他窗口使用，标签未保存"_qs});
    call(pia.get(), "nextImage");
    QTRY_COMPARE(ask(u"SELECT string_agg(image, ' ') FROM norvanta_holds h"
                     " WHERE h.dataset = d.id AND h.role = 'pia2'"_qs), u"c.png"_qs);
    call(nils.get(), "saveAnnotations");
    QCOMPARE(second(u"b.png"_qs), u"nils2/32"_qs);
    QCOMPARE(history(), u"pia2:>1 pia2:>2"_qs);

    auto olga = openWindow(u"olga2"_qs, u"olga2"_qs);
    QCOMPARE(listTexts(olga.get()), QStringList{entry(1)});
    QCOMPARE(olga->countLine()->text(), u"已标记: 2 | 未标记: 2"_qs);
    QCOMPARE(second(u"a.png"_qs), u"nils2/16"_qs);
}

QTEST_MAIN(TeamWindowTest)
#include "tst_teamwindow.moc"
