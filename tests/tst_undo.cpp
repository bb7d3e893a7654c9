// Undo and redo through the real keys of the main window and the windows
// beside it, with the annotation file checked byte for byte after each step.
#include "labellingsession.h"
#include "testwindow.h"

#include <QApplication>
#include <QFile>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QToolTip>

using namespace TestWindow;

namespace {

const QString RO = entry(11);
const QString OB = entry(4);
const QString DE = entry(3);
const QString OS = entry(2);
const QString RB = entry(1);

} // namespace

class UndoTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init()
    {
        openWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(w()));
    }
    void cleanup() { closeWindow(); }

    void stepsAcrossThreeImagesGoBackToTheStartAndForthToTheEnd();
    void editsAreTakenBackInTheirPlaceAndANewStepEndsTheRedo();
    void undoingASaveIsRefusedWhenTheRowChangedOrTheSaveCannotWrite();
    void labelsDroppedByAMoveComeBack_data();
    void labelsDroppedByAMoveComeBack();
    void keysWorkInTheWindowsBesideButTheNameFieldKeepsItsOwn();
    void aThousandStepsAreKept();

private:
    Tavrelin *w() const { return window.get(); }
    // Letters typed one by one, then `key`, on the active main window.
    void press(const char *letters, Qt::Key key = Qt::Key_unknown,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void undo() { press("", Qt::Key_Z, Qt::ControlModifier); }
    void redo() { press("", Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier); }
    void removeLabel(const QString &label);
    void open(const QStringList &images, const QByteArray &csv = QByteArray());
    // The current image, its labels in the list's order, and "*" while they
    // are unsaved.
    QString shown() const;
    // The note beside the label buttons; empty while none is shown.
    QString note() const;
    void noNote();
    void hideNote();
};

void UndoTest::press(const char *letters, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    // A closed dialog does not give the activation back under the offscreen
    // platform, as a window manager would, and keys need the active window.
    // A window beside this one counts as active with it, so the test asks
    // which one is.
    w()->activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), w());
    for (; *letters; ++letters)
        QTest::keyClick(w(), *letters);
    if (key != Qt::Key_unknown)
        QTest::keyClick(w(), key, modifiers);
}

void UndoTest::removeLabel(const QString &label)
{
    const QModelIndexList rows = w()->labelModel()->match(w()->labelModel()->index(0, 0),
                                                          Qt::DisplayRole, label, 1,
                                                          Qt::MatchExactly);
    QVERIFY(!rows.isEmpty());
    w()->labelSelection()->setCurrentIndex(rows.first(), QItemSelectionModel::ClearAndSelect);
    press("", Qt::Key_Delete);
}

void UndoTest::open(const QStringList &images, const QByteArray &csv)
{
    if (!csv.isNull())
        writeFile(csvPath, csv);
    answerer->answerFileDialog(makeFolder(u"imgs"_qs, images));
    press("", Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(w()->session().names(), images);
}

QString UndoTest::shown() const
{
    QStringList labels;
    const QAbstractItemModel *list = w()->labelModel();
    for (int row = 0; row < list->rowCount(); ++row)
        labels.append(list->index(row, 0).data().toString());
    return w()->session().currentName() + u": "_qs + labels.join(u'|')
         + (w()->labelling()->hasUnsaved() ? u" *"_qs : QString());
}

QString UndoTest::note() const
{
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

void UndoTest::noNote()
{
    // The note is shown from the event loop.
    QCoreApplication::processEvents();
    QVERIFY(!QToolTip::isVisible());
}

void UndoTest::hideNote()
{
    QToolTip::hideText();
    QTRY_VERIFY(!QToolTip::isVisible());
}

// Every kind of step on three images, a move between them dropping labels;
// each undo shows the image of its step with the labels, the change flag
// and the file as they were before it, each redo as they were after it.
void UndoTest::stepsAcrossThreeImagesGoBackToTheStartAndForthToTheEnd()
{
    const QByteArray start = headerLine() + row(u"b.png"_qs, {2});
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs}, start);
    undo();
    redo();
    QCOMPARE(shown(), u"a.png: "_qs);
    noNote();

    struct Step
    {
        QString before;     // shown before the step, where undo leaves it
        QByteArray fileBefore;
        QString after;      // shown after the step, where redo leaves it
        QByteArray file;    // the file after the step
        QString ending;     // of the note
    };
    QList<Step> steps;
    const auto took = [&](const QString &before, const QString &after, const QString &ending) {
        steps.append({before, steps.isEmpty() ? start : steps.last().file, after,
                      readFile(csvPath), ending});
    };

    press("RO");
    took(u"a.png: "_qs, u"a.png: %1 *"_qs.arg(RO), u"添加 "_qs + RO);
    press("", Qt::Key_Return);
    QCOMPARE(shown(), u"b.png: "_qs + OS);
    took(steps.last().after, u"a.png: "_qs + RO, u"保存 a.png"_qs);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {11}) + row(u"b.png"_qs, {2}));
    press("DE");
    took(u"b.png: "_qs + OS, u"b.png: %1|%2 *"_qs.arg(OS, DE), u"添加 "_qs + DE);
    press("", Qt::Key_Right);
    took(steps.last().after, u"c.png:  *"_qs, u"恢复丢弃的标签"_qs);
    press("RB");
    took(u"c.png:  *"_qs, u"c.png: %1 *"_qs.arg(RB), u"添加 "_qs + RB);
    press("", Qt::Key_S, Qt::ControlModifier);
    took(steps.last().after, u"c.png: "_qs + RB, u"保存 c.png"_qs);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {11}) + row(u"b.png"_qs, {2})
                                    + row(u"c.png"_qs, {1}));
    removeLabel(RB);
    took(u"c.png: "_qs + RB, u"c.png:  *"_qs, u"删除 "_qs + RB);
    press("", Qt::Key_Left, Qt::ControlModifier);
    QCOMPARE(shown(), u"b.png: "_qs + OS);
    took(u"c.png:  *"_qs, u"c.png: "_qs, u"保存 c.png"_qs);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {11}) + row(u"b.png"_qs, {2})
                                    + row(u"c.png"_qs));

    for (qsizetype k = steps.size() - 1; k >= 0; --k) {
        undo();
        QCOMPARE(shown(), steps.at(k).before);
        QCOMPARE(readFile(csvPath), steps.at(k).fileBefore);
        QTRY_COMPARE(note(), u"已撤销："_qs + steps.at(k).ending);
    }
    QCOMPARE(w()->countLine()->text(), u"已标记: 1 | 未标记: 2"_qs);
    hideNote();
    undo();
    QCOMPARE(shown(), u"a.png: "_qs);
    QCOMPARE(readFile(csvPath), start);
    noNote();

    for (const Step &step : std::as_const(steps)) {
        redo();
        QCOMPARE(shown(), step.after);
        QCOMPARE(readFile(csvPath), step.file);
        QTRY_COMPARE(note(), u"已重做："_qs + step.ending);
    }
    QCOMPARE(w()->countLine()->text(), u"已标记: 2 | 未标记: 1"_qs);
    hideNote();
    press("", Qt::Key_Y, Qt::ControlModifier);
    QCOMPARE(shown(), steps.last().after);
    noNote();
    QVERIFY(answerer->boxes.isEmpty());

    // Ctrl+Y redoes as Ctrl+Shift+Z does; the note goes after two seconds.
    undo();
    QCOMPARE(shown(), u"c.png:  *"_qs);
    press("", Qt::Key_Y, Qt::ControlModifier);
    QTRY_COMPARE(note(), u"已重做：保存 c.png"_qs);
    QTRY_VERIFY_WITH_TIMEOUT(!QToolTip::isVisible(), 10000);
}

void UndoTest::editsAreTakenBackInTheirPlaceAndANewStepEndsTheRedo()
{
    open({u"a.png"_qs, u"b.png"_qs});
    press("ROOBDE");
    removeLabel(OB);
    QCOMPARE(shown(), u"a.png: %1|%2 *"_qs.arg(RO, DE));
    undo();
    // Back in its place, not at the end.
    QCOMPARE(shown(), u"a.png: %1|%2|%3 *"_qs.arg(RO, OB, DE));
    QTRY_COMPARE(note(), u"已撤销：删除 "_qs + OB);
    undo();
    undo();
    undo();
    // As after the window's start: nothing to save.
    QCOMPARE(shown(), u"a.png: "_qs);
    QVERIFY(!QFile::exists(csvPath));
    press("", Qt::Key_S, Qt::ControlModifier);
    QTRY_COMPARE(note(), u"无需更改"_qs);
    QVERIFY(!QFile::exists(csvPath));

    redo();
    QCOMPARE(shown(), u"a.png: %1 *"_qs.arg(RO));
    press("RB");
    redo();
    QCOMPARE(shown(), u"a.png: %1|%2 *"_qs.arg(RO, RB));
    undo();
    undo();
    undo();
    QCOMPARE(shown(), u"a.png: "_qs);
    QVERIFY(answerer->boxes.isEmpty());
}

void UndoTest::undoingASaveIsRefusedWhenTheRowChangedOrTheSaveCannotWrite()
{
    // A save that fails is no step: the edit before it is taken back.
    open({u"a.png"_qs, u"b.png"_qs}, headerLine());
    QFile::setPermissions(csvPath, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    press("OB", Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(answerer->boxTexts(), QStringList{u"无法打开用于保存注释的文件"_qs});
    undo();
    QTRY_COMPARE(note(), u"已撤销：添加 "_qs + OB);
    QFile::setPermissions(csvPath, QFile::ReadOwner | QFile::WriteOwner);
    answerer->clear();

    press("RO", Qt::Key_Return);
    const QByteArray saved = headerLine() + row(u"a.png"_qs, {11});
    QCOMPARE(readFile(csvPath), saved);

    // Another program changes the row: refused before anything moves.
    const QByteArray edited = headerLine() + row(u"a.png"_qs, {11, 12});
    writeFile(csvPath, edited);
    for (int twice = 0; twice < 2; ++twice) {
        undo();
        QCOMPARE(answerer->boxes.size(), twice + 1);
        QCOMPARE(answerer->boxes.last().icon, QMessageBox::Warning);
        QCOMPARE(answerer->boxes.last().text, u"此图片的标签已被其他程序更改，无法撤销"_qs);
        QCOMPARE(shown(), u"b.png: "_qs);
        QCOMPARE(readFile(csvPath), edited);
    }

    // A file nobody may write is refused as a save refuses it; the step
    // stays for when the cause is mended.
    writeFile(csvPath, saved);
    QFile::setPermissions(csvPath, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    undo();
    QCOMPARE(answerer->boxes.last().text, u"无法打开用于保存注释的文件"_qs);
    QCOMPARE(readFile(csvPath), saved);
    QFile::setPermissions(csvPath, QFile::ReadOwner | QFile::WriteOwner);
    answerer->clear();
    undo();
    QCOMPARE(shown(), u"a.png: %1 *"_qs.arg(RO));
    QCOMPARE(readFile(csvPath), headerLine());
    QVERIFY(answerer->boxes.isEmpty());

    // Redo meets the same rule: a row where the save found none.
    writeFile(csvPath, headerLine() + row(u"a.png"_qs));
    redo();
    QCOMPARE(answerer->boxTexts(), QStringList{u"此图片的标签已被其他程序更改，无法撤销"_qs});
    QCOMPARE(shown(), u"a.png: %1 *"_qs.arg(RO));
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs));
}

void UndoTest::labelsDroppedByAMoveComeBack_data()
{
    QTest::addColumn<QString>("move");
    QTest::newRow("Right") << u"right"_qs;
    QTest::newRow("Left") << u"left"_qs;
    QTest::newRow("查看下一张 clicked") << u"button"_qs;
    QTest::newRow("Ctrl+U") << u"unmarked"_qs;
    QTest::newRow("Ctrl+J") << u"jump"_qs;
    QTest::newRow("Alt+Right") << u"filter"_qs;
    QTest::newRow("dataset window") << u"dataset"_qs;
    QTest::newRow("another folder") << u"folder"_qs;
}

void UndoTest::labelsDroppedByAMoveComeBack()
{
    QFETCH(QString, move);
    const QByteArray content = headerLine() + row(u"a.png"_qs, {2}) + row(u"c.png"_qs, {4});
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs}, content);
    if (move == u"left") {
        press("", Qt::Key_Right);
        QCOMPARE(shown(), u"b.png: "_qs);
    }
    const QString clean = shown();
    press("DE");
    const QString dropped = shown();
    QString target = u"b.png: "_qs;
    if (move == u"right" || move == u"unmarked") {
        press("", move == u"right" ? Qt::Key_Right : Qt::Key_U,
              move == u"right" ? Qt::NoModifier : Qt::ControlModifier);
    } else if (move == u"left") {
        press("", Qt::Key_Left);
        target = u"a.png: "_qs + OS;
    } else if (move == u"button") {
        button(w(), u"查看下一张"_qs)->click();
    } else if (move == u"jump") {
        press("", Qt::Key_J, Qt::ControlModifier);
        target = u"c.png: "_qs + OB;
    } else if (move == u"filter") {
        press("", Qt::Key_Right, Qt::AltModifier);
    } else if (move == u"dataset") {
        press("", Qt::Key_D, Qt::ControlModifier);
        auto *table = w()->findChild<QTableView *>(u"imageTable"_qs);
        QVERIFY(table);
        QTRY_COMPARE(QApplication::activeWindow(), table->window());
        table->setCurrentIndex(table->model()->index(2, 1));
        QTest::keyClick(table, Qt::Key_Return);
        target = u"c.png: "_qs + OB;
    } else {
        answerer->answerFileDialog(makeFolder(u"more"_qs, {u"m.png"_qs}));
        press("", Qt::Key_O, Qt::ControlModifier);
        target = u"m.png: "_qs;
    }
    // Silent, as the move is.
    QVERIFY(answerer->boxes.isEmpty());
    QCOMPARE(shown(), target + u" *"_qs);

    undo();
    QCOMPARE(shown(), dropped);
    QTRY_COMPARE(note(), u"已撤销：恢复丢弃的标签"_qs);
    QCOMPARE(w()->session().names().size(), 3);
    redo();
    QCOMPARE(shown(), target + u" *"_qs);
    QTRY_COMPARE(note(), u"已重做：恢复丢弃的标签"_qs);
    undo();
    undo();
    QCOMPARE(shown(), clean);
    QCOMPARE(readFile(csvPath), content);
    QVERIFY(answerer->boxes.isEmpty());
}

void UndoTest::keysWorkInTheWindowsBesideButTheNameFieldKeepsItsOwn()
{
    QCOMPARE(w()->findChild<QListWidget *>()->toolTip(), u"按 Ctrl+Z 撤销，Ctrl+Shift+Z / Ctrl+Y 重做"_qs);
    open({u"a.png"_qs, u"b.png"_qs});
    press("ROOB");

    press("", Qt::Key_D, Qt::ControlModifier);
    auto *dataset = w()->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset);
    QTRY_COMPARE(QApplication::activeWindow(), dataset);
    auto *table = dataset->findChild<QTableView *>(u"imageTable"_qs);
    table->setFocus();
    QTest::keyClick(table, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(shown(), u"a.png: %1 *"_qs.arg(RO));
    QTest::keyClick(table, Qt::Key_Y, Qt::ControlModifier);
    QCOMPARE(shown(), u"a.png: %1|%2 *"_qs.arg(RO, OB));

    auto *field = dataset->findChild<QLineEdit *>(u"nameFilter"_qs);
    field->setFocus();
    QTest::keyClicks(field, u"b.png"_qs);
    QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(field->text(), QString());
    QCOMPARE(shown(), u"a.png: %1|%2 *"_qs.arg(RO, OB));
    field->clear();
    dataset->close();

    // The inspection view takes every key of the main window.
    press("", Qt::Key_Z);
    QWidget *view = nullptr;
    for (QWidget *candidate : w()->findChildren<QWidget *>()) {
        if (candidate->isWindow() && candidate->windowTitle() == u"检查视图")
            view = candidate;
    }
    QVERIFY(view);
    QTRY_COMPARE(QApplication::activeWindow(), view);
    QCOMPARE(view->findChild<QWidget *>(u"inspectionLabels"_qs)->toolTip(),
             u"选中一个标签后按 Delete 删除；按 Ctrl+Z 撤销，Ctrl+Shift+Z / Ctrl+Y 重做"_qs);
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(shown(), u"a.png: "_qs);
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(shown(), u"a.png: %1 *"_qs.arg(RO));
    QVERIFY(answerer->boxes.isEmpty());
}

void UndoTest::aThousandStepsAreKept()
{
    open({u"a.png"_qs});
    const DebugLog quiet;
    for (int i = 0; i < 501; ++i) {
        press("RO");
        removeLabel(RO);
    }
    for (int i = 0; i < 1000; ++i) {
        undo();
        QCOMPARE(shown(), i % 2 ? u"a.png:  *"_qs : u"a.png: %1 *"_qs.arg(RO));
    }
}

QTEST_MAIN(UndoTest)
#include "tst_undo.moc"
