#include "tavrelin.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
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

    // The toolkit's own texts (the buttons of every box, the file dialogs)
    // in Chinese like the window, whatever the system's language. Its
    // catalogue holds no text of the window's own, which stay as written.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(QStringLiteral("qt_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&toolkitTexts);

    Tavrelin window;
    if (!window.hasAnnotationFile())
        return 0;

    window.setWindowTitle(QStringLiteral("Norvanta"));
    window.resize(500, 500);
    window.show();
    return app.exec();
}
