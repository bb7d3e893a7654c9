// The built program started with arguments, as a terminal or the desktop's
// "Open with" starts it, with the dialog answerer preloaded.
#include "annotationformat.h"
#include "testwindow.h"
#include "trainingsplit.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace TestWindow;

class CommandLineTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void commandLineIsCheckedBeforeAnyWindow_data();
    void commandLineIsCheckedBeforeAnyWindow();
    void fileAndFolderOpenWithoutTheStartDialog();
    void helpAllPrintsTheHelpAndEnds();
    void helpAndVersionNeedNoDisplay();
    void splitWritesTheFourFilesWithoutAWindow();
    void badSplitsAreRefusedInOneLine_data();
    void badSplitsAreRefusedInOneLine();

private:
    // What the program finds to show its windows on.
    enum class Display { Offscreen, None, UnknownPlugin };
    // The exit status; `reported` gets the lines on the standard error from
    // the program and the answerer, without the debug log.
    int run(const QStringList &arguments, QStringList *reported, QByteArray *out = nullptr,
            Display display = Display::Offscreen);
};

int CommandLineTest::run(const QStringList &arguments, QStringList *reported, QByteArray *out,
                         Display display)
{
    QProcess program;
    program.setWorkingDirectory(dir->path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
#ifdef STARTUP_ANSWER
    environment.insert(u"LD_PRELOAD"_qs, QStringLiteral(STARTUP_ANSWER));
#endif
    if (display != Display::Offscreen) {
        for (const QString &name : {u"QT_QPA_PLATFORM"_qs, u"DISPLAY"_qs, u"WAYLAND_DISPLAY"_qs})
            environment.remove(name);
        if (display == Display::UnknownPlugin)
            environment.insert(u"QT_QPA_PLATFORM"_qs, u"nowhere"_qs);
    }
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(NORVANTA_PROGRAM), arguments);
    if (!program.waitForFinished(60000) || program.exitStatus() != QProcess::NormalExit)
        return -1;
    static const QRegularExpression ours(u"^(norvanta|window line|answered box): "_qs);
    for (const QString &line : QString::fromUtf8(program.readAllStandardError()).split(u'\n'))
        if (ours.match(line).hasMatch())
            reported->append(line);
    if (out)
        *out = program.readAllStandardOutput();
    return program.exitCode();
}

void CommandLineTest::commandLineIsCheckedBeforeAnyWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("error");
    QTest::newRow("version") << QStringList{u"--version"_qs} << 0 << QByteArray("norvanta 1.0\n")
                             << QString();
    QTest::newRow("unknown option") << QStringList{u"--bogus"_qs} << 2 << QByteArray()
                                    << u"未知选项“bogus”。"_qs;
    QTest::newRow("folder that is a file") << QStringList{u"labels.csv"_qs, u"labels.csv"_qs} << 2
                                           << QByteArray() << u"不是图片目录：labels.csv"_qs;
    QTest::newRow("three arguments") << QStringList{u"labels.csv"_qs, u"."_qs, u"."_qs} << 2
                                     << QByteArray()
                                     << u"参数过多：只能给出一个标签文件和一个图片目录"_qs;
    QTest::newRow("annotation file that is a folder") << QStringList{u"."_qs} << 2 << QByteArray()
                                                      << u"不是标签文件：."_qs;
}

// Any window would be answered and reported, or would leave the program
// running until the answerer closed it.
void CommandLineTest::commandLineIsCheckedBeforeAnyWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QString, error);
    writeFile(csvPath, headerLine());
    QStringList reported;
    QByteArray printed;
    QCOMPARE(run(arguments, &reported, &printed), status);
    QCOMPARE(printed, out);
    QCOMPARE(reported, error.isEmpty() ? QStringList() : QStringList{u"norvanta: "_qs + error});
}

void CommandLineTest::fileAndFolderOpenWithoutTheStartDialog()
{
#ifndef STARTUP_ANSWER
    QSKIP("the dialog answerer cannot be preloaded into this build");
#endif
    const QByteArray content = headerLine() + row(u"b.png"_qs, {1});
    writeFile(csvPath, content);
    const QString folder = makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs});
    QStringList reported;
    // Relative, as typed in the folder they name: the folder line is absolute.
    QCOMPARE(run({u"labels.csv"_qs, u"./imgs/"_qs}, &reported), 0);
    QCOMPARE(reported, (QStringList{u"window line: 保存路径: labels.csv"_qs,
                                    u"window line: 图片目录: "_qs + QDir(folder).canonicalPath(),
                                    u"window line: 已标记: 1 | 未标记: 1"_qs,
                                    u"window line: 图片名称:a.png(1/2)"_qs}));
    QCOMPARE(readFile(csvPath), content);
}

void CommandLineTest::helpAllPrintsTheHelpAndEnds()
{
    QStringList reported;
    QByteArray help;
    QCOMPARE(run({u"--help"_qs}, &reported, &help), 0);
    QVERIFY(help.contains("ANNOTATION_FILE") && help.contains("--help-all"));
    QByteArray helpAll;
    QCOMPARE(run({u"--help-all"_qs}, &reported, &helpAll), 0);
    QCOMPARE(helpAll, help);
    QVERIFY(reported.isEmpty());
}

// Without a display a window could not even start: the toolkit ends the
// program when it finds no platform to show it on.
void CommandLineTest::helpAndVersionNeedNoDisplay()
{
    QByteArray help;
    QStringList reported;
    QCOMPARE(run({u"--help"_qs}, &reported, &help), 0);
    for (const Display display : {Display::None, Display::UnknownPlugin}) {
        QByteArray printed;
        QCOMPARE(run({u"--version"_qs}, &reported, &printed, display), 0);
        QCOMPARE(printed, QByteArray("norvanta 1.0\n"));
        QCOMPARE(run({u"labels.csv"_qs, u"-h"_qs}, &reported, &printed, display), 0);
        QCOMPARE(printed, help);
    }
    QVERIFY(reported.isEmpty());
    // A window still needs one.
    QCOMPARE(run({u"labels.csv"_qs}, &reported, nullptr, Display::UnknownPlugin), -1);
}

void CommandLineTest::splitWritesTheFourFilesWithoutAWindow()
{
    QByteArray content = headerLine();
    for (int i = 0; i < 60; ++i)
        content += row(QStringLiteral("r%1_%2.png").arg(i / 3).arg(i % 3), {1 + i % 4, 1 + i % 7});
    content += row(u"unmarked.png"_qs);
    writeFile(csvPath, content);
    QStringList reported;
    QByteArray printed;
    QCOMPARE(run({u"--split"_qs, u"60,20,20"_qs, u"--seed"_qs, u"7"_qs, u"--group"_qs, u"^(r\\d+)_"_qs,
                  u"labels.csv"_qs, u"new/out"_qs},
                 &reported, &printed),
             0);
    QCOMPARE(reported, QStringList());
    QCOMPARE(printed, QByteArray("已写入 new/out：train 36 张，val 12 张，test 12 张。\n"));

    // The same bytes as the split itself gives for these settings.
    const TrainingSplit::Outcome outcome =
        TrainingSplit::run(csvPath, AnnotationFormat::catalogue(), {{60, 20, 20}, 7, u"^(r\\d+)_"_qs},
                           dir->filePath(u"expected"_qs));
    QVERIFY(outcome.written);
    for (const QString &name : TrainingSplit::outputNames())
        QCOMPARE(readFile(dir->filePath(u"new/out/"_qs + name)), readFile(dir->filePath(u"expected/"_qs + name)));
}

void CommandLineTest::badSplitsAreRefusedInOneLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    const QString csv = u"labels.csv"_qs;
    const QString out = u"out"_qs;
    QTest::newRow("two shares") << QStringList{u"--split"_qs, u"80,20"_qs, csv, out}
                                << u"比例无效：须为以逗号分隔的三个整数，如 80,10,10"_qs;
    QTest::newRow("sum 101") << QStringList{u"--split=80,10,11"_qs, csv, out}
                             << u"比例无效：训练、验证和测试的比例之和须为 100，现为 101"_qs;
    QTest::newRow("pattern without group")
        << QStringList{u"--split"_qs, u"80,10,10"_qs, u"--group"_qs, u"^r"_qs, csv, out}
        << u"分组模式无效：须有一个捕获组（括号），其匹配的文字命名图片的组"_qs;
    QTest::newRow("negative seed") << QStringList{u"--split"_qs, u"80,10,10"_qs, u"--seed"_qs, u"-1"_qs, csv, out}
                                   << u"种子无效：须为 0 到 2147483647 之间的整数"_qs;
    QTest::newRow("no output folder") << QStringList{u"--split"_qs, u"80,10,10"_qs, csv}
                                      << u"--split 需要一个标签文件和一个输出目录"_qs;
    QTest::newRow("missing annotation file") << QStringList{u"--split"_qs, u"80,10,10"_qs, u"none.csv"_qs, out}
                                             << u"标签文件不存在：none.csv"_qs;
    QTest::newRow("files already there") << QStringList{u"--split"_qs, u"80,10,10"_qs, csv, u"."_qs}
                                         << u". 中已有 train.csv、splits.txt，不会替换"_qs;
    QTest::newRow("seed without split") << QStringList{u"--seed"_qs, u"3"_qs, csv}
                                        << u"--seed 和 --group 只能与 --split 一起使用"_qs;
}

void CommandLineTest::badSplitsAreRefusedInOneLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const QByteArray content = headerLine() + row(u"a.png"_qs, {1});
    writeFile(csvPath, content);
    writeFile(dir->filePath(u"train.csv"_qs), "mine\n");
    writeFile(dir->filePath(u"splits.txt"_qs), "mine\n");
    QStringList reported;
    QByteArray printed;
    QCOMPARE(run(arguments, &reported, &printed), 2);
    QCOMPARE(reported, QStringList{u"norvanta: "_qs + error});
    QCOMPARE(printed, QByteArray());
    QVERIFY(!QFileInfo::exists(dir->filePath(u"out"_qs)));
    QCOMPARE(readFile(dir->filePath(u"train.csv"_qs)), QByteArray("mine\n"));
    QCOMPARE(readFile(csvPath), content);
}

QTEST_MAIN(CommandLineTest)
#include "tst_commandline.moc"
