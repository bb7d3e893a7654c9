// The built program started with arguments, as a terminal or the desktop's
// "Open with" starts it, with the dialog answerer preloaded.
#include "testwindow.h"

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

private:
    // The exit status; `reported` gets the lines on the standard error from
    // the program and the answerer, without the debug log.
    int run(const QStringList &arguments, QStringList *reported, QByteArray *out = nullptr);
};

int CommandLineTest::run(const QStringList &arguments, QStringList *reported, QByteArray *out)
{
    QProcess program;
    program.setWorkingDirectory(dir->path());
#ifdef STARTUP_ANSWER
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"LD_PRELOAD"_qs, QStringLiteral(STARTUP_ANSWER));
    program.setProcessEnvironment(environment);
#endif
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

QTEST_MAIN(CommandLineTest)
#include "tst_commandline.moc"
