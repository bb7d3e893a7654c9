#include "tavrelin.h"
#include "windowplace.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

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

void nameTheProgram()
{
    // Must stay the executable's file name: the annotation file's lock names
    // its holder by it, and another window takes a lock over as left behind
    // when the process holding it runs a program of another name.
    QCoreApplication::setApplicationName(QStringLiteral(NORVANTA_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(NORVANTA_VERSION));
    // The desktop pairs the running program with its installed menu entry and
    // icon by this name, so the task bar shows both.
    QGuiApplication::setDesktopFileName(QStringLiteral(NORVANTA_APP_ID));
    // Set before the window exists, so that the start-up dialog has it too.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/" NORVANTA_APP_ID ".svg")));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    nameTheProgram();

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
             "  IMAGE_FOLDER     启动后加载其中图片的目录"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // Named in the usage line and described above: the help's own list of
    // arguments is only as wide as the longest option, too narrow for them.
    parser.addPositionalArgument(QString(), QString(), QStringLiteral("[ANNOTATION_FILE"));
    parser.addPositionalArgument(QString(), QString(), QStringLiteral("[IMAGE_FOLDER]]"));
    if (!parser.parse(QCoreApplication::arguments()))
        return refuse(parser.errorText());
    // --help-all, which the help option brings along, says the same.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        // Without the list's heading, which would stand alone at the end.
        QString helpText = parser.helpText();
        helpText.truncate(helpText.lastIndexOf(QStringLiteral("\n\n")) + 1);
        std::fputs(qUtf8Printable(helpText), stdout);
        return 0;
    }
    if (parser.isSet(version))
        parser.showVersion();
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() > 2)
        return refuse(text("参数过多：只能给出一个标签文件和一个图片目录"));
    const QString annotationPath = arguments.value(0);
    if (arguments.size() >= 1 && (annotationPath.isEmpty() || QFileInfo(annotationPath).isDir()))
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
    // Where it stood when the program last ended.
    WindowPlace::keep(&window, QStringLiteral("mainWindow"));
    window.show();
    // Loaded from the event loop, so that its boxes find the window running.
    if (!folder.isEmpty())
        QTimer::singleShot(0, &window, [&window, folder] { window.openFolder(folder); });
    return app.exec();
}
