#include "labelkeys.h"
#include "testwindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolTip>

using namespace TestWindow;

class KeysTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init()
    {
        openWindow();
        window->show();
    }
    void cleanup() { closeWindow(); }

    void codesClickTheirLabelButtonsOnlyWhenWholePlainAndEnabled();
    void keysWorkFromTheListWhichLosesTheSelectedRowOrTheLastGiven();
    void returnSavesOrMovesOnAndTheEndsAreNotes();
    void strayLetterIsShownThenDroppedAndTheKeyAfterItActs();
    void aCodeTheImageHasTakesItsLabelOffAsOneStep();
    void aFailureBoxIgnoresTheKeysOfItsFirstMoments();
    void nextUnmarkedImageFollowsTheFirstRowOfEachName();

private:
    Tavrelin *w() const { return window.get(); }
    void press(const char *letters, Qt::Key key = Qt::Key_unknown,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void open(const QStringList &images);
};

// Letters as typed (capitals as with Caps Lock on), then `key`. A closed
// dialog does not give the activation back under the offscreen platform, as
// a window manager would, and keys need the active window.
void KeysTest::press(const char *letters, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    w()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w()));
    for (; *letters; ++letters)
        QTest::keyClick(w(), *letters);
    if (key != Qt::Key_unknown)
        QTest::keyClick(w(), key, modifiers);
}

void KeysTest::open(const QStringList &images)
{
    answerer->answerFileDialog(makeFolder(u"imgs"_qs, images));
    press("", Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(imageFiles(w()), images);
}

void KeysTest::codesClickTheirLabelButtonsOnlyWhenWholePlainAndEnabled()
{
    press("RB", Qt::Key_Right);
    QVERIFY(answerer->boxes.isEmpty() && !button(w(), u"查看下一张"_qs)->isDown());

    open({u"a.png"_qs});
    press("XRXR", Qt::Key_O, Qt::ShiftModifier);
    for (const auto modifier : {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
        press("", Qt::Key_R, modifier);
        press("O", Qt::Key_Escape);
    }
    const QStringList labels = catalogue();
    for (const QString &label : labels)
        QVERIFY(!button(w(), label)->isDown());
    QVERIFY(currentAnnotations(w()).isEmpty());

    for (qsizetype k = 0; k < labels.size(); ++k) {
        const QString code = labels.at(k).right(2);
        QCOMPARE(button(w(), labels.at(k))->toolTip(),
                 u"快捷键：%1 %2"_qs.arg(code.at(0), code.at(1)));
        press(qPrintable(k % 2 ? code : code.toLower()));
        QVERIFY(button(w(), labels.at(k))->isDown());
        QTRY_COMPARE(currentAnnotations(w()).value(k), labels.at(k));
    }
}

void KeysTest::keysWorkFromTheListWhichLosesTheSelectedRowOrTheLastGiven()
{
    open({u"a.png"_qs});
    press("DERO");
    QTRY_COMPARE(listTexts(w()).size(), 2);
    QListWidget *list = annotationList(w());
    list->setFocus();
    QTRY_VERIFY(list->hasFocus());
    for (const QWidget *widget : w()->findChildren<QWidget *>())
        QVERIFY(!widget->testAttribute(Qt::WA_InputMethodEnabled));
    QTest::keyClick(list, 'P');
    QTest::keyClick(list, 'B');
    QTRY_COMPARE(listTexts(w()), (QStringList{entry(3), entry(11), entry(19)}));

    // Current but not selected, as a Ctrl+click leaves a row: that row stays,
    // and the label given last goes.
    list->setCurrentRow(0, QItemSelectionModel::NoUpdate);
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(currentAnnotations(w()), (QStringList{entry(3), entry(11)}));
    press("PB");
    QTRY_COMPARE(listTexts(w()).size(), 3);
    list->setCurrentRow(0, QItemSelectionModel::NoUpdate);
    QTest::keyClick(list, Qt::Key_Down);
    DebugLog log;
    QTest::keyClick(list, Qt::Key_Backspace);
    QCOMPARE(currentAnnotations(w()), (QStringList{entry(3), entry(19)}));
    QCOMPARE(listTexts(w()), currentAnnotations(w()));
    QCOMPARE(log.lines(), QStringList{u"Annotation removed: \"%1\""_qs.arg(entry(11))});
}

// What a key's operation only informs of is a note beside the label
// buttons: no box takes the keys typed next.
void KeysTest::returnSavesOrMovesOnAndTheEndsAreNotes()
{
    const auto note = [] { return QToolTip::isVisible() ? QToolTip::text() : QString(); };
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    press("", Qt::Key_Return);
    QTRY_COMPARE(currentIndex(w()), 1);
    QVERIFY(!QFile::exists(csvPath));

    // Keys act in the order typed: the label is in before the save.
    press("OB", Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"b.png"_qs, {4}));
    QCOMPARE(currentIndex(w()), 1);
    press("", Qt::Key_S, Qt::ControlModifier);
    QTRY_COMPARE(note(), u"无需更改"_qs);
    // An annotation file keeps no reviews: the reviewer's keys only say so,
    // and the send back asks for no reason.
    for (const Qt::Key key : {Qt::Key_A, Qt::Key_R}) {
        press("", key, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_COMPARE(note(), u"只有团队的数据集可以审核"_qs);
    }
    QCOMPARE(readFile(csvPath), headerLine() + row(u"b.png"_qs, {4}));

    // Saved: Return moves on at once, the letters typed right after it
    // belong to the next image.
    press("", Qt::Key_Enter, Qt::KeypadModifier);
    press("ok");
    QCOMPARE(currentIndex(w()), 2);
    QCOMPARE(currentAnnotations(w()), QStringList{entry(5)});
    QCOMPARE(readFile(csvPath), headerLine() + row(u"b.png"_qs, {4}));
    press("", Qt::Key_Return);
    press("", Qt::Key_Right);
    QTRY_COMPARE(note(), u"已是最后一张图片"_qs);
    QCOMPARE(currentIndex(w()), 2);
    for (const int expected : {1, 0, 0}) {
        press("", Qt::Key_Left, Qt::ControlModifier);
        QCOMPARE(currentIndex(w()), expected);
    }
    QTRY_COMPARE(note(), u"已是第一张图片"_qs);
    QVERIFY(answerer->boxes.isEmpty());
    QCOMPARE(readFile(csvPath),
             headerLine() + row(u"b.png"_qs, {4}) + row(u"c.png"_qs, {5}));

    // The buttons keep their boxes.
    button(w(), u"保存并下一张"_qs)->click();
    QCOMPARE(answerer->boxTexts(), QStringList{u"无需更改"_qs});
    QCOMPARE(currentIndex(w()), 1);
}

void KeysTest::strayLetterIsShownThenDroppedAndTheKeyAfterItActs()
{
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    QSignalSpy pending(w()->keys(), &LabelKeys::pendingChanged);
    press("RBR");
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), u"R… RB RO"_qs);
    press("", Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {1}));
    QCOMPARE(pending.last().at(0).value<QKeySequence>(), QKeySequence());
    QTRY_VERIFY(!QToolTip::isVisible());

    press("DER", Qt::Key_Return);
    QTRY_COMPARE(currentIndex(w()), 1);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {1, 3}));
    QVERIFY(answerer->boxes.isEmpty());
    press("RXRO");
    QTRY_COMPARE(currentAnnotations(w()), QStringList{entry(11)});

    // No clock: a letter waits as long as the person hesitates, its hint in
    // sight all the while.
    press("P");
    QTest::qWait(3000);
    QCOMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(), u"P… PH PF PB"_qs);
    press("H");
    QTRY_COMPARE(currentAnnotations(w()), (QStringList{entry(11), entry(6)}));
    QTRY_VERIFY(!QToolTip::isVisible());

    // Esc drops a waiting letter, and so does a move to another image: "O"
    // then begins a code of its own.
    press("R", Qt::Key_Escape);
    QCOMPARE(pending.last().at(0).value<QKeySequence>(), QKeySequence());
    press("OB");
    QTRY_COMPARE(currentAnnotations(w()), (QStringList{entry(11), entry(6), entry(4)}));
    press("R");
    button(w(), u"查看下一张"_qs)->click();
    QCOMPARE(currentIndex(w()), 2);
    QCOMPARE(pending.last().at(0).value<QKeySequence>(), QKeySequence());
    press("OB");
    QTRY_COMPARE(currentAnnotations(w()), QStringList{entry(4)});
}

void KeysTest::aCodeTheImageHasTakesItsLabelOffAsOneStep()
{
    writeFile(csvPath, headerLine() + row(u"a.png"_qs, {11}));
    open({u"a.png"_qs});
    press("OBRO");
    QTRY_COMPARE(currentAnnotations(w()), QStringList{entry(4)});
    QVERIFY(annotationsModified(w()));
    press("OB");
    QTRY_VERIFY(currentAnnotations(w()).isEmpty());

    // One step each, taken back as a removal.
    press("", Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(currentAnnotations(w()), QStringList{entry(4)});
    QTRY_COMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(),
                 u"已撤销：删除 "_qs + entry(4));

    // The button only gives.
    button(w(), entry(4))->click();
    QCOMPARE(currentAnnotations(w()), QStringList{entry(4)});
}

// A save refused while the person types on: the keys of the first 400 ms do
// not answer the box, which says that the labels were not saved; a key after
// that answers it.
void KeysTest::aFailureBoxIgnoresTheKeysOfItsFirstMoments()
{
    const QByteArray foreign("name,kind\nx.png,1\n");
    writeFile(csvPath, foreign);
    open({u"a.png"_qs, u"b.png"_qs});
    press("RO");
    QTRY_COMPARE(currentAnnotations(w()), QStringList{entry(11)});
    answerer->clear();

    answerer->leaveBoxesOpen = true;
    QString text;
    bool openAfterTyping = false;
    QTimer answering;
    connect(&answering, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        answering.stop();
        text = box->text();
        for (const auto key : {Qt::Key_O, Qt::Key_K, Qt::Key_Return, Qt::Key_Escape})
            QTest::keyClick(box, key);
        openAfterTyping = box->isVisible();
        QTest::qWait(450);
        QTest::keyClick(box, Qt::Key_Return);
    });
    answering.start(1);
    QTest::keyClick(w(), Qt::Key_Return);
    answerer->leaveBoxesOpen = false;
    QVERIFY(openAfterTyping);
    QCOMPARE(text, u"标签文件的表头与标签目录不一致，未保存"_qs);
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(currentIndex(w()), 0);
    QVERIFY(annotationsModified(w()));
    QCOMPARE(readFile(csvPath), foreign);
}

void KeysTest::nextUnmarkedImageFollowsTheFirstRowOfEachName()
{
    press("", Qt::Key_U, Qt::ControlModifier);
    QVERIFY(answerer->boxes.isEmpty());

    QByteArray beyondHeader = row(u"d.png"_qs);
    beyondHeader.insert(beyondHeader.size() - 1, ",1");
    const QByteArray content = headerLine() + row(u"b.png"_qs, {1}) + row(u"b.png"_qs)
        + row(u"c.png"_qs) + row(u"c.png"_qs, {2}) + beyondHeader;
    writeFile(csvPath, content);
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs, u"e.png"_qs});

    // Like a view button it moves without saving, and keeps the change flag.
    press("RB");
    QTRY_VERIFY(annotationsModified(w()));
    press("", Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(w()), 2);
    press("", Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(w()), 4);
    press("", Qt::Key_U, Qt::ControlModifier);
    QTRY_COMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(),
                 u"后面没有未标记的图片"_qs);
    QVERIFY(answerer->boxes.isEmpty());
    QCOMPARE(currentIndex(w()), 4);
    QCOMPARE(readFile(csvPath), content);
    QVERIFY(annotationsModified(w()));
}

QTEST_MAIN(KeysTest)
#include "tst_keys.moc"
