#include "testwindow.h"

#include <QAction>
#include <QDir>
#include <QTest>

using namespace TestWindow;

class KeysTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void everyCodeClicksItsOwnLabelButton_data();
    void everyCodeClicksItsOwnLabelButton();
    void lettersThatCompleteNoCodeDoNothing();
    void disabledButtonsIgnoreTheirKeys();
    void keysWorkWithTheFocusInTheListAndRemoveOnlyASelectedRow();
    void saveAndMoveKeysGoThroughTheSaveAndItsMessages();
    void nextUnmarkedImageFollowsTheFirstRowOfEachName();

private:
    Tavrelin *w() const { return window.get(); }
    void activate();
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void type(const char *letters);
    void open(const QStringList &images);
    bool anyButtonDown() const;
};

void KeysTest::init()
{
    openWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(w()));
}

void KeysTest::cleanup()
{
    closeWindow();
}

// Shortcuts work in the active window only. A closed dialog does not hand
// the activation back here, as a window manager would, so it is taken back.
void KeysTest::activate()
{
    w()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w()));
}

void KeysTest::key(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    activate();
    QTest::keyClick(w(), key, modifiers);
}

// Capitals, as typed with Caps Lock on.
void KeysTest::type(const char *letters)
{
    activate();
    for (; *letters; ++letters)
        QTest::keyClick(w(), *letters);
}

// Through the menu action's key, with its folder dialog answered.
void KeysTest::open(const QStringList &images)
{
    answerer->answerFileDialog(makeFolder(u"imgs"_qs, images));
    key(Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(imageFiles(w()), images);
    answerer->clear();
}

// A button that a key clicks stays down for a moment: a key that clicked
// nothing leaves every button up and every state as it was.
bool KeysTest::anyButtonDown() const
{
    const QList<QPushButton *> buttons = w()->findChildren<QPushButton *>();
    return std::any_of(buttons.cbegin(), buttons.cend(),
                       [](const QPushButton *b) { return b->isDown(); });
}

void KeysTest::everyCodeClicksItsOwnLabelButton_data()
{
    QTest::addColumn<int>("catalogueRow");
    for (int k = 1; k <= 19; ++k)
        QTest::newRow(qPrintable(entry(k).right(2))) << k;
}

void KeysTest::everyCodeClicksItsOwnLabelButton()
{
    QFETCH(int, catalogueRow);
    const QString code = entry(catalogueRow).right(2);
    open({u"a.png"_qs});

    type(code.toLatin1().constData());
    QVERIFY(button(w(), entry(catalogueRow))->isDown());
    QTRY_COMPARE(currentAnnotations(w()), QStringList{entry(catalogueRow)});
    QCOMPARE(button(w(), entry(catalogueRow))->toolTip(),
             u"快捷键：%1 %2"_qs.arg(code.at(0), code.at(1)));
}

void KeysTest::lettersThatCompleteNoCodeDoNothing()
{
    open({u"a.png"_qs});
    type("XRX");
    for (const Qt::KeyboardModifier modifier :
         {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
        key(Qt::Key_R, modifier);
        key(Qt::Key_O);
        key(Qt::Key_R);
        key(Qt::Key_O, modifier);
    }
    QVERIFY(!anyButtonDown());
    QVERIFY(currentAnnotations(w()).isEmpty());

    // Without Caps Lock the letters are the same keys.
    QTest::keyClick(w(), 'r');
    QTest::keyClick(w(), 'o');
    QTRY_COMPARE(currentAnnotations(w()), QStringList{entry(11)});
}

void KeysTest::disabledButtonsIgnoreTheirKeys()
{
    type("RB");
    key(Qt::Key_Right);
    key(Qt::Key_Left);
    QVERIFY(!anyButtonDown());
    QVERIFY(answerer->boxes.isEmpty());

    const QString folder = makeFolder(u"imgs"_qs, {u"a.png"_qs});
    writeFile(folder + u"/b.png"_qs, "no picture");
    answerer->answerFileDialog(folder);
    key(Qt::Key_O, Qt::ControlModifier);
    key(Qt::Key_Right);
    QTRY_COMPARE(currentIndex(w()), 1);
    QTRY_COMPARE(answerer->boxes.size(), 1);
    key(Qt::Key_Left);
    QVERIFY(!anyButtonDown());
    QCOMPARE(answerer->boxes.size(), 1);
    QCOMPARE(currentIndex(w()), 1);
}

void KeysTest::keysWorkWithTheFocusInTheListAndRemoveOnlyASelectedRow()
{
    open({u"a.png"_qs});
    type("DERO");
    QTRY_COMPARE(listTexts(w()).size(), 2);
    activate();
    QListWidget *list = annotationList(w());
    list->setFocus();
    QTRY_VERIFY(list->hasFocus());
    for (const QWidget *widget : w()->findChildren<QWidget *>())
        QVERIFY2(!widget->testAttribute(Qt::WA_InputMethodEnabled), widget->metaObject()->className());

    QTest::keyClick(list, 'P');
    QTest::keyClick(list, 'B');
    QTRY_COMPARE(listTexts(w()), (QStringList{entry(3), entry(11), entry(19)}));

    // A current row that is not selected, as a Ctrl+click leaves it.
    list->setCurrentRow(0, QItemSelectionModel::NoUpdate);
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(listTexts(w()).size(), 3);

    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(list->selectedItems().value(0)->text(), entry(11));
    DebugLog log;
    QTest::keyClick(list, Qt::Key_Backspace);
    QCOMPARE(listTexts(w()), (QStringList{entry(3), entry(19)}));
    QCOMPARE(currentAnnotations(w()), (QStringList{entry(3), entry(19)}));
    QCOMPARE(log.lines(), QStringList{u"Annotation removed: \"%1\""_qs.arg(entry(11))});
    QVERIFY(annotationsModified(w()));
}

void KeysTest::saveAndMoveKeysGoThroughTheSaveAndItsMessages()
{
    QCOMPARE(button(w(), u"保存并下一张"_qs)->toolTip(), u"快捷键：Return / Enter / Ctrl+Right"_qs);
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});

    key(Qt::Key_Return);
    QTRY_COMPARE(currentIndex(w()), 1);
    QCOMPARE(answerer->boxTexts(), QStringList{u"无需更改"_qs});
    QVERIFY(!QFile::exists(csvPath));

    type("OB");
    QTRY_VERIFY(annotationsModified(w()));
    key(Qt::Key_Enter, Qt::KeypadModifier);
    QTRY_COMPARE(currentIndex(w()), 2);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"b.png"_qs, {4}));

    type("VA");
    QTRY_VERIFY(annotationsModified(w()));
    key(Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(readFile(csvPath), headerLine() + row(u"b.png"_qs, {4}) + row(u"c.png"_qs, {18}));
    QCOMPARE(currentIndex(w()), 2);

    answerer->clear();
    key(Qt::Key_Left, Qt::ControlModifier);
    QTRY_COMPARE(currentIndex(w()), 1);
    key(Qt::Key_J, Qt::ControlModifier);
    QTRY_COMPARE(currentIndex(w()), 2);
    key(Qt::Key_Right, Qt::ControlModifier);
    QTRY_COMPARE(answerer->boxTexts(),
                 (QStringList{u"无需更改"_qs, u"无需更改"_qs, u"已是最后一张图片"_qs}));
}

void KeysTest::nextUnmarkedImageFollowsTheFirstRowOfEachName()
{
    key(Qt::Key_U, Qt::ControlModifier);
    QVERIFY(answerer->boxes.isEmpty());

    QByteArray beyondHeader = row(u"d.png"_qs);
    beyondHeader.insert(beyondHeader.size() - 1, ",1");
    const QByteArray content = headerLine() + row(u"b.png"_qs, {1}) + row(u"b.png"_qs)
        + row(u"c.png"_qs) + row(u"c.png"_qs, {2}) + beyondHeader;
    writeFile(csvPath, content);
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs, u"e.png"_qs});

    // Like a view button, it moves without saving and keeps the change flag.
    type("RB");
    QTRY_VERIFY(annotationsModified(w()));
    key(Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(w()), 2);
    key(Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(w()), 4);
    key(Qt::Key_U, Qt::ControlModifier);
    QTRY_COMPARE(answerer->boxes.size(), 1);
    QCOMPARE(answerer->boxes.first().title, u"Info"_qs);
    QCOMPARE(answerer->boxes.first().text, u"后面没有未标记的图片"_qs);
    QCOMPARE(currentIndex(w()), 4);
    QCOMPARE(readFile(csvPath), content);
    QVERIFY(annotationsModified(w()));
}

QTEST_MAIN(KeysTest)
#include "tst_keys.moc"
