// Preloaded (LD_PRELOAD) into a built or installed program that a test starts:
// it cancels the start-up dialog, confirms the message boxes that follow, and
// writes them on the standard error, so that the test sees the program's real
// start and not merely its exit status. A main window that opens is closed
// once it shows an image or has stood 3 s without a box, after its lines are
// written ("window line: TEXT").
#include "dialoganswerer.h"

#include <QApplication>
#include <QLabel>

#include <algorithm>
#include <cstdio>

namespace {

void closeTheWindowWhenSettled()
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, idle = 0]() mutable {
        // The program's window class, known by name: this library has a copy.
        const QWidgetList windows = QApplication::topLevelWidgets();
        const auto window = std::find_if(windows.cbegin(), windows.cend(), [](QWidget *widget) {
            return widget->inherits("Tavrelin") && widget->isVisible();
        });
        if (window == windows.cend() || QApplication::activeModalWidget())
            return;
        const QList<QLabel *> lines = (*window)->findChildren<QLabel *>();
        const bool showsImage = std::any_of(lines.cbegin(), lines.cend(), [](QLabel *line) {
            return line->text().startsWith(QStringLiteral("图片名称:"));
        });
        if (!showsImage && ++idle < 150)
            return;
        poll->stop();
        for (const QLabel *line : lines) {
            if (!line->text().isEmpty())
                std::fprintf(stderr, "window line: %s\n", qUtf8Printable(line->text()));
        }
        (*window)->close();
    });
    poll->start(20);
}

void answerTheProgram()
{
    auto *answerer = new DialogAnswerer(qApp);
    QObject::connect(qApp, &QObject::destroyed, answerer, [answerer] {
        for (const DialogAnswerer::Box &box : std::as_const(answerer->boxes))
            std::fprintf(stderr, "answered box: %s: %s\n", qUtf8Printable(box.title),
                         qUtf8Printable(box.text));
        std::fprintf(stderr, "file dialogs: %d\n", int(answerer->fileDialogs.size()));
    });
    closeTheWindowWhenSettled();
}
Q_COREAPP_STARTUP_FUNCTION(answerTheProgram)

} // namespace
