// Preloaded (LD_PRELOAD) into an installed program that a test starts: it
// cancels the start-up dialog, confirms the message boxes that follow, and
// writes them on the standard error, so that the test sees the program's real
// start and not merely its exit status.
#include "dialoganswerer.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void answerTheProgram()
{
    auto *answerer = new DialogAnswerer(qApp);
    QObject::connect(qApp, &QObject::destroyed, answerer, [answerer] {
        for (const DialogAnswerer::Box &box : std::as_const(answerer->boxes))
            std::fprintf(stderr, "answered box: %s: %s\n", qUtf8Printable(box.title),
                         qUtf8Printable(box.text));
    });
}
Q_COREAPP_STARTUP_FUNCTION(answerTheProgram)

} // namespace
