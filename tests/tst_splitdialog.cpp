// "导出划分…" in the dataset window: the dialog, its preview, its refusals and
// its question before replacing files.
#include "testwindow.h"

#include <QDialog>
#include <QDir>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>

using namespace TestWindow;

class SplitDialogTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { closeWindow(); }

    void opensFromTheDatasetWindowWithTheDefaults();
    void thePreviewCountsGroupsAndNamesThatDoNotMatch();
    void badSharesOrPatternsAreRefusedWithAMessage();
    void filesAlreadyThereAreReplacedOnlyWhenThePersonAgrees();

private:
    QDialog *openDialog();
    template<typename T>
    T *control(const char *name) const
    {
        T *found = dialog->findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qWarning("no control %s", name);
        return found;
    }
    QString preview() const { return control<QLabel>("splitPreview")->text(); }
    void clickWrite() { control<QPushButton>("writeSplit")->click(); }

    QDialog *dialog = nullptr;
};

void SplitDialogTest::init()
{
    openWindow();
    // Three marked images, one unmarked, and a later row of a name that does
    // not count: the readers take the first.
    writeFile(csvPath, headerLine() + row(u"run1_a.png"_qs, {1}) + row(u"run1_b.png"_qs, {2})
                           + row(u"run2_a.png"_qs, {1, 3}) + row(u"solo.png"_qs)
                           + row(u"solo.png"_qs, {4}));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    dialog = openDialog();
    QVERIFY(dialog);
}

QDialog *SplitDialogTest::openDialog()
{
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window.get()))
        return nullptr;
    QTest::keyClick(window.get(), Qt::Key_D, Qt::ControlModifier);
    auto *datasetWindow = window->findChild<QWidget *>(u"datasetWindow"_qs);
    if (!datasetWindow)
        return nullptr;
    auto *splitExport = datasetWindow->findChild<QPushButton *>(u"splitExport"_qs);
    if (!splitExport || splitExport->text() != u"导出划分…"_qs)
        return nullptr;
    splitExport->click();
    return datasetWindow->findChild<QDialog *>(u"splitDialog"_qs);
}

void SplitDialogTest::opensFromTheDatasetWindowWithTheDefaults()
{
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->windowTitle(), u"导出划分"_qs);
    QCOMPARE(control<QSpinBox>("trainShare")->value(), 80);
    QCOMPARE(control<QSpinBox>("valShare")->value(), 10);
    QCOMPARE(control<QSpinBox>("testShare")->value(), 10);
    QCOMPARE(control<QSpinBox>("splitSeed")->value(), 0);
    QCOMPARE(control<QLineEdit>("groupPattern")->text(), QString());
    QCOMPARE(control<QLineEdit>("outputFolder")->text(), QDir::toNativeSeparators(dir->filePath(u"splits"_qs)));
    QCOMPARE(preview(), u"将划分 3 张已标记的图片，3 组；1 张未标记的图片不划分。"_qs);

    // One dialog at a time.
    QCOMPARE(openDialog(), dialog);
    QCOMPARE(window->findChildren<QDialog *>(u"splitDialog"_qs).size(), 1);
}

void SplitDialogTest::thePreviewCountsGroupsAndNamesThatDoNotMatch()
{
    // Two groups cannot fill three splits.
    control<QLineEdit>("groupPattern")->setText(u"^(run\\d+)_"_qs);
    QTRY_COMPARE(preview(), u"将划分 3 张已标记的图片，2 组；1 张未标记的图片不划分。\n"
                            "0 个名称不匹配分组模式，各自成组。\n"
                            "组数（2）少于比例不为 0 的集合数（3），至少有一个集合将为空。"_qs);
    control<QLineEdit>("groupPattern")->setText(u"^(run1)_"_qs);
    QTRY_COMPARE(preview(), u"将划分 3 张已标记的图片，2 组；1 张未标记的图片不划分。\n"
                            "1 个名称不匹配分组模式，各自成组。\n"
                            "组数（2）少于比例不为 0 的集合数（3），至少有一个集合将为空。"_qs);
    control<QSpinBox>("testShare")->setValue(0);
    control<QSpinBox>("trainShare")->setValue(90);
    QTRY_COMPARE(preview(), u"将划分 3 张已标记的图片，2 组；1 张未标记的图片不划分。\n"
                            "1 个名称不匹配分组模式，各自成组。"_qs);
    control<QSpinBox>("trainShare")->setValue(80);
    control<QSpinBox>("testShare")->setValue(10);

    // The example in the empty field groups every kind of listed picture.
    const QString example = control<QLineEdit>("groupPattern")->placeholderText();
    const QRegularExpression shown(
        example.section(u"如 "_qs, 1).section(u"；"_qs, 0, 0));
    for (const QString &name : {u"pipe7_0001.png"_qs, u"pipe7_0002.jpg"_qs, u"PIPE8_3.BMP"_qs})
        QVERIFY2(shown.match(name).hasMatch(), qPrintable(shown.pattern() + u' ' + name));
    control<QLineEdit>("groupPattern")->setText(u"^run"_qs);
    QTRY_COMPARE(preview(), u"将划分 3 张已标记的图片，3 组；1 张未标记的图片不划分。\n"
                            "分组模式无效：须有一个捕获组（括号），其匹配的文字命名图片的组"_qs);
    control<QLineEdit>("groupPattern")->clear();
    control<QSpinBox>("testShare")->setValue(11);
    QTRY_COMPARE(preview(), u"将划分 3 张已标记的图片，3 组；1 张未标记的图片不划分。\n"
                            "比例无效：训练、验证和测试的比例之和须为 100，现为 101"_qs);
}

void SplitDialogTest::badSharesOrPatternsAreRefusedWithAMessage()
{
    const QString out = dir->filePath(u"out"_qs);
    control<QLineEdit>("outputFolder")->setText(out);
    control<QSpinBox>("valShare")->setValue(0);
    clickWrite();
    control<QSpinBox>("valShare")->setValue(10);
    control<QLineEdit>("groupPattern")->setText(u"(run"_qs);
    clickWrite();
    QCOMPARE(answerer->boxes.size(), 2);
    QCOMPARE(answerer->boxes.at(0).icon, QMessageBox::Warning);
    QCOMPARE(answerer->boxes.at(0).title, u"导出划分"_qs);
    QCOMPARE(answerer->boxes.at(0).text, u"比例无效：训练、验证和测试的比例之和须为 100，现为 90"_qs);
    QVERIFY2(answerer->boxes.at(1).text.startsWith(u"分组模式无效："_qs), qPrintable(answerer->boxes.at(1).text));
    QVERIFY(dialog->isVisible());
    QVERIFY(!QFileInfo::exists(out));
}

void SplitDialogTest::filesAlreadyThereAreReplacedOnlyWhenThePersonAgrees()
{
    const QString out = dir->filePath(u"out"_qs);
    QVERIFY(QDir().mkpath(out));
    writeFile(out + u"/val.csv"_qs, "mine\n");
    answerer->answerFileDialog(out);
    control<QPushButton>("chooseOutputFolder")->click();
    QCOMPARE(control<QLineEdit>("outputFolder")->text(), QDir::toNativeSeparators(out));
    control<QSpinBox>("trainShare")->setValue(100);
    control<QSpinBox>("valShare")->setValue(0);
    control<QSpinBox>("testShare")->setValue(0);

    answerer->answerQuestion(QMessageBox::No);
    clickWrite();
    QCOMPARE(answerer->boxes.size(), 1);
    QCOMPARE(answerer->boxes.at(0).icon, QMessageBox::Question);
    QCOMPARE(answerer->boxes.at(0).text, QDir::toNativeSeparators(out) + u" 中已有 val.csv。要替换吗？"_qs);
    QCOMPARE(answerer->boxes.at(0).defaultButton, QMessageBox::No);
    QCOMPARE(QDir(out).entryList(QDir::Files), QStringList{u"val.csv"_qs});
    QCOMPARE(readFile(out + u"/val.csv"_qs), QByteArray("mine\n"));
    QVERIFY(dialog->isVisible());

    answerer->answerQuestion(QMessageBox::Yes);
    clickWrite();
    QCOMPARE(answerer->boxTexts().mid(1),
             (QStringList{QDir::toNativeSeparators(out) + u" 中已有 val.csv。要替换吗？"_qs,
                          u"已写入 "_qs + QDir::toNativeSeparators(out) + u"：train 3 张，val 0 张，test 0 张。"_qs}));
    QCOMPARE(readFile(out + u"/train.csv"_qs),
             headerLine() + row(u"run1_a.png"_qs, {1}) + row(u"run1_b.png"_qs, {2}) + row(u"run2_a.png"_qs, {1, 3}));
    QCOMPARE(readFile(out + u"/val.csv"_qs), headerLine());
    QCOMPARE(readFile(out + u"/test.csv"_qs), headerLine());
    QVERIFY(readFile(out + u"/splits.txt"_qs).startsWith("Norvanta 训练划分\n种子: 0\n比例: train 100%, val 0%, test 0%\n"));
    QTRY_VERIFY(!window->findChild<QDialog *>(u"splitDialog"_qs));
}

QTEST_MAIN(SplitDialogTest)
#include "tst_splitdialog.moc"
