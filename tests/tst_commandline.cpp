// The built program started with arguments, as a terminal or the desktop's
// "Open with" starts it. The dialog answerer preloaded into it reports each
// window shown, the main window's lines once it has settled (and then closes
// it), and the boxes and file dialogs it answered.
#include "testwindow.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace TestWindow;

namespace {

struct Run
{
    int status = -1;
    QString out;
    // The program's own error and the answerer's report, without the debug
    // log and the toolkit's notices.
    QStringList errorLines;
};

} // namespace

class CommandLineTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void versionAndHelpOpenNothing();
    void wrongArgumentsEndWithStatusTwoBeforeAnyWindow_data();
    void wrongArgumentsEndWithStatusTwoBeforeAnyWindow();
    void fileAndFolderOpenWithoutTheStartDialog();

private:
    Run run(const QStringList &arguments, bool answered = true);

    std::unique_ptr<QTemporaryDir> dir;
};

void CommandLineTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

Run CommandLineTest::run(const QStringList &arguments, bool answered)
{
    QProcess program;
    program.setProgram(QStringLiteral(NORVANTA_PROGRAM));
    program.setArguments(arguments);
    program.setWorkingDirectory(dir->path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_qs, u"offscreen"_qs);
#ifdef STARTUP_ANSWER
    if (answered)
        environment.insert(u"LD_PRELOAD"_qs, QStringLiteral(STARTUP_ANSWER));
#else
    Q_UNUSED(answered);
#endif
    program.setProcessEnvironment(environment);
    program.start();
    Run result;
    if (!program.waitForFinished(60000)) {
        program.kill();
        program.waitForFinished();
        return result;
    }
    result.status = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    result.out = QString::fromUtf8(program.readAllStandardOutput());
    const QStringList lines =
        QString::fromUtf8(program.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    static const QRegularExpression reported(
        u"^(norvanta|shown|window line|answered box|file dialogs): "_qs);
    for (const QString &line : lines) {
        if (reported.match(line).hasMatch())
            result.errorLines.append(line);
    }
    return result;
}

void CommandLineTest::versionAndHelpOpenNothing()
{
    const Run version = run({u"--version"_qs}, false);
    QCOMPARE(version.status, 0);
    QCOMPARE(version.out, u"norvanta 1.0\n"_qs);
    QCOMPARE(version.errorLines, QStringList());

    const Run help = run({u"--help"_qs}, false);
    QCOMPARE(help.status, 0);
    QVERIFY2(help.out.contains(u" [ANNOTATION_FILE [IMAGE_FOLDER]]\n"_qs), qPrintable(help.out));
    QVERIFY(!help.out.endsWith(u"：\n"_qs));
}

void CommandLineTest::wrongArgumentsEndWithStatusTwoBeforeAnyWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown option") << QStringList{u"--bogus"_qs}
                                    << u"norvanta: 未知选项“bogus”。"_qs;
    QTest::newRow("folder that is a file")
        << QStringList{u"labels.csv"_qs, u"notes.txt"_qs} << u"norvanta: 不是图片目录：notes.txt"_qs;
    QTest::newRow("folder that is missing")
        << QStringList{u"labels.csv"_qs, u"gone"_qs} << u"norvanta: 不是图片目录：gone"_qs;
    QTest::newRow("three arguments")
        << QStringList{u"labels.csv"_qs, u"imgs"_qs, u"imgs"_qs}
        << u"norvanta: 参数过多：只能给出一个标签文件和一个图片目录"_qs;
    QTest::newRow("annotation file that is a folder")
        << QStringList{u"imgs"_qs} << u"norvanta: 不是标签文件：imgs"_qs;
}

void CommandLineTest::wrongArgumentsEndWithStatusTwoBeforeAnyWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QVERIFY(QDir(dir->path()).mkdir(u"imgs"_qs));
    writeImage(dir->filePath(u"imgs/a.png"_qs));
    writeFile(dir->filePath(u"notes.txt"_qs), "notes\n");

    const Run refused = run(arguments);
    QCOMPARE(refused.status, 2);
    QCOMPARE(refused.out, QString());
    // Not a window shown, not a box nor a dialog answered.
    QStringList expected{error};
#ifdef STARTUP_ANSWER
    expected.append(u"file dialogs: 0"_qs);
#endif
    QCOMPARE(refused.errorLines, expected);
    QVERIFY(!QFile::exists(dir->filePath(u"labels.csv"_qs)));
}

void CommandLineTest::fileAndFolderOpenWithoutTheStartDialog()
{
#ifndef STARTUP_ANSWER
    QSKIP("the dialog answerer cannot be preloaded into this build");
#endif
    const QByteArray content = headerLine() + row(u"b.png"_qs, {1});
    writeFile(dir->filePath(u"labels.csv"_qs), content);
    QVERIFY(QDir(dir->path()).mkpath(u"sub/imgs"_qs));
    writeImage(dir->filePath(u"sub/imgs/a.png"_qs));
    writeImage(dir->filePath(u"sub/imgs/b.png"_qs));

    // Relative, as typed in the folder they name.
    const Run opened = run({u"labels.csv"_qs, u"sub/./imgs/"_qs});
    QCOMPARE(opened.status, 0);
    const QString folder = QDir(dir->path()).canonicalPath() + u"/sub/imgs"_qs;
    QCOMPARE(opened.errorLines,
             (QStringList{u"shown: Tavrelin"_qs, u"window line: 保存路径: labels.csv"_qs,
                          u"window line: 图片目录: "_qs + folder,
                          u"window line: 已标记: 1 | 未标记: 1"_qs,
                          u"window line: 图片名称:a.png(1/2)"_qs, u"file dialogs: 0"_qs}));
    QCOMPARE(readFile(dir->filePath(u"labels.csv"_qs)), content);

    // A folder without images: the same warning as through the menu.
    QVERIFY(QDir(dir->path()).mkdir(u"empty"_qs));
    const Run empty = run({dir->filePath(u"new.csv"_qs), dir->filePath(u"empty"_qs)});
    QCOMPARE(empty.status, 0);
    QVERIFY2(empty.errorLines.contains(u"answered box: Warning: 在此目录中未找到相关文件"_qs),
             qPrintable(empty.errorLines.join(u'\n')));
    QVERIFY(!empty.errorLines.contains(u"shown: QFileDialog"_qs));
}

QTEST_MAIN(CommandLineTest)
#include "tst_commandline.moc"
