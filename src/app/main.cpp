#include "tavrelin.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Tavrelin window;
    if (!window.hasAnnotationFile())
        return 0;

    window.setWindowTitle(QStringLiteral("Norvanta"));
    window.resize(500, 500);
    window.show();
    return app.exec();
}
