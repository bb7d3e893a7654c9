#include "labelcatalogue.h"
#include "tavrelin.h"
#include "teamaddress.h"
#include "teamdatabase.h"
#include "teamtransfer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("norvanta", source);
}

// One line on the standard error, named after the program, and the status
// that a wrong command line ends with.
int refuse(const QString &reason)
{
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(QCoreApplication::applicationName()),
                 qUtf8Printable(reason));
    return 2;
}

// An import or an export moves a dataset and shows nothing: it runs without
// the windowing system, so that it works on a server without a display.
bool movesADataset(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"--import", "--export"}) {
            const std::size_t length = std::strlen(option);
            if (std::strncmp(argv[i], option, length) == 0
                && (argv[i][length] == '\0' || argv[i][length] == '='))
                return true;
        }
    }
    return false;
}

// The annotator of every save: shown to the others and kept in the history.
bool isAnnotatorName(const QString &name)
{
    if (name.trimmed().isEmpty() || name.size() > 63)
        return false;
    return std::none_of(name.cbegin(), name.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// The address in `text`, or the status of the refusal already told.
std::optional<TeamAddress> addressOf(const QString &text, int *status)
{
    QString error;
    std::optional<TeamAddress> address = TeamAddress::parse(text, &error);
    if (!address)
        *status = refuse(error);
    return address;
}

int transfer(const QString &importFile, const QString &exportAddress,
             const QStringList &arguments, const QString &annotator)
{
    if (!importFile.isEmpty() && !exportAddress.isEmpty())
        return refuse(text("--import 与 --export 不能同时给出"));
    if (arguments.size() != 1)
        return refuse(importFile.isEmpty() ? text("用法：norvanta --export ADDRESS FILE.csv")
                                           : text("用法：norvanta --import FILE.csv ADDRESS"));
    int status = 0;
    const auto address = addressOf(importFile.isEmpty() ? exportAddress : arguments.at(0), &status);
    if (!address)
        return status;
    const TeamTransfer::Report report = importFile.isEmpty()
        ? TeamTransfer::exportFile(*address, arguments.at(0), labelCatalogue())
        : TeamTransfer::importFile(importFile, *address, labelCatalogue(), annotator);
    if (!report.ok) {
        const int failed = refuse(report.text);
        return report.unreachable ? failed : 1;
    }
    std::fprintf(stdout, "%s\n", qUtf8Printable(report.text));
    return 0;
}

void nameTheProgram(bool withWindows)
{
    // Must stay the executable's file name: the annotation file's lock names
    // its holder by it, and another window takes a lock over as left behind
    // when the process holding it runs a program of another name.
    QCoreApplication::setApplicationName(QStringLiteral(NORVANTA_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(NORVANTA_VERSION));
    if (withWindows) {
        // The desktop pairs the running program with its installed menu entry
        // and icon by this name, so the task bar shows both.
        QGuiApplication::setDesktopFileName(QStringLiteral(NORVANTA_APP_ID));
        // Set before the window exists, so that the start-up dialog has it too.
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/" NORVANTA_APP_ID ".svg")));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const std::unique_ptr<QCoreApplication> application(
        movesADataset(argc, argv) ? new QCoreApplication(argc, argv) : new QApplication(argc, argv));
    nameTheProgram(qobject_cast<QApplication *>(application.get()) != nullptr);

    // The toolkit's own texts (the buttons of every box, the file dialogs,
    // the command line's help) in Chinese like the window, whatever the
    // system's language. Its catalogue holds no text of the window's own,
    // which stay as written.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(QStringLiteral("qt_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&toolkitTexts);

    // norvanta [ANNOTATION_FILE [IMAGE_FOLDER]]: the desktop's "Open with"
    // hands over a CSV file this way. Nothing is opened before the whole
    // command line is found good.
    QCommandLineParser parser;
    parser.setApplicationDescription(
        text("为图像标注缺陷类别，并把标注保存到 CSV 文件。\n\n"
             "  ANNOTATION_FILE  标签文件（CSV）；不给出时启动后询问\n"
             "  IMAGE_FOLDER     启动后加载其中图片的目录\n"
             "  ADDRESS          团队的标签数据库，代替标签文件：\n"
             "                   postgresql://[USER@][HOST][:PORT]/DBNAME?dataset=NAME[&PARAM=VALUE...]"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption annotatorOption(
        QStringLiteral("annotator"),
        text("保存标签的标注人（默认为环境变量 NORVANTA_ANNOTATOR，否则为登录名）"),
        QStringLiteral("NAME"));
    const QCommandLineOption importOption(QStringLiteral("import"),
                                          text("把标签文件导入 ADDRESS 的数据集"),
                                          QStringLiteral("FILE.csv"));
    const QCommandLineOption exportOption(QStringLiteral("export"),
                                          text("把数据集导出为标签文件 FILE.csv"),
                                          QStringLiteral("ADDRESS"));
    parser.addOptions({annotatorOption, importOption, exportOption});
    // Named in the usage line and described above: the help's own list of
    // arguments is only as wide as the longest option, too narrow for them.
    parser.addPositionalArgument(QString(), QString(), QStringLiteral("[ANNOTATION_FILE"));
    parser.addPositionalArgument(QString(), QString(), QStringLiteral("[IMAGE_FOLDER]]"));
    if (!parser.parse(QCoreApplication::arguments()))
        return refuse(parser.errorText());
    if (parser.isSet(help)) {
        // Without the list's heading, which would stand alone at the end.
        QString helpText = parser.helpText();
        helpText.truncate(helpText.lastIndexOf(QStringLiteral("\n\n")) + 1);
        std::fputs(qUtf8Printable(helpText), stdout);
        return 0;
    }
    if (parser.isSet(version))
        parser.showVersion();
    const QStringList arguments = parser.positionalArguments();
    const QString annotator = parser.value(annotatorOption);
    if (parser.isSet(annotatorOption) && !isAnnotatorName(annotator))
        return refuse(text("标注人名称无效：%1").arg(annotator));
    if (parser.isSet(importOption) || parser.isSet(exportOption))
        return transfer(parser.value(importOption), parser.value(exportOption), arguments,
                        resolveAnnotator(annotator));
    if (arguments.size() > 2)
        return refuse(text("参数过多：只能给出一个标签文件和一个图片目录"));
    const QString annotationPath = arguments.value(0);
    const bool onServer = TeamAddress::isAddress(annotationPath);
    if (onServer) {
        int status = 0;
        const auto address = addressOf(annotationPath, &status);
        if (!address)
            return status;
        // The window reads the same address; it is made known to be
        // reachable, and its schema usable, before any window opens.
        QString error;
        TeamDatabase probe(*address, labelCatalogue(), resolveAnnotator(annotator), QString());
        if (!probe.open(&error))
            return refuse(text("无法连接标签数据库：") + error);
        if (!annotator.isEmpty())
            qputenv("NORVANTA_ANNOTATOR", annotator.toUtf8());
    }
    if (arguments.size() >= 1 && !onServer
        && (annotationPath.isEmpty() || QFileInfo(annotationPath).isDir()))
        return refuse(text("不是标签文件：%1").arg(annotationPath));
    // As the folder dialog returns it: absolute, with "/" separators.
    const QString folder = arguments.size() == 2 ? QDir(arguments.at(1)).absolutePath() : QString();
    if (arguments.size() == 2 && (arguments.at(1).isEmpty() || !QFileInfo(folder).isDir()))
        return refuse(text("不是图片目录：%1").arg(arguments.at(1)));

    Tavrelin window(annotationPath);
    if (!window.hasAnnotationFile())
        return 0;

    window.setWindowTitle(QStringLiteral("Norvanta"));
    window.resize(500, 500);
    window.show();
    // Loaded from the event loop, so that its boxes find the window running.
    if (!folder.isEmpty())
        QTimer::singleShot(0, &window, [&window, folder] { window.openFolder(folder); });
    return application->exec();
}
