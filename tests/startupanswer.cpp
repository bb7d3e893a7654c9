// Preloaded (LD_PRELOAD) into a built or installed program that a test
// starts: it answers the start-up dialog (cancels it), confirms the message
// boxes, and writes what it saw on the standard error, so that the test sees
// the program's real start and not merely its exit status:
//   shown: CLASS            each window as it is shown
//   window line: TEXT       each line of the main window once it has
//                           settled (no box open, and an image shown or 3 s
//                           of the event loop passed without a box), after
//                           which the main window is closed
//   answered box: TITLE: TEXT, file dialogs: N    at the end
#include "dialoganswerer.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int pollMilliseconds = 20;
// The main window is closed once it shows an image, or after this many polls
// without a box open.
constexpr int idlePolls = 150;

void closeWhenSettled(QWidget *window)
{
    auto *poll = new QTimer(window);
    QObject::connect(poll, &QTimer::timeout, window, [window, poll, polls = 0]() mutable {
        if (QApplication::activeModalWidget())
            return;
        const QList<QLabel *> lines = window->findChildren<QLabel *>();
        const bool showsImage = std::any_of(lines.cbegin(), lines.cend(), [](const QLabel *line) {
            return line->text().startsWith(QStringLiteral("图片名称:"));
        });
        if (!showsImage && ++polls < idlePolls)
            return;
        poll->stop();
        for (const QLabel *line : lines) {
            if (line->window() == window && !line->text().isEmpty())
                std::fprintf(stderr, "window line: %s\n", qUtf8Printable(line->text()));
        }
        window->close();
    });
    poll->start(pollMilliseconds);
}

// The window class of the program, known by name: this library has a copy
// of its own, whose meta-object is not the program's.
class ShowReporter final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Show || !watched->isWidgetType())
            return false;
        auto *widget = static_cast<QWidget *>(watched);
        if (!widget->isWindow())
            return false;
        std::fprintf(stderr, "shown: %s\n", widget->metaObject()->className());
        std::fflush(stderr);
        if (widget->inherits("Tavrelin") && !reported.contains(widget)) {
            reported.append(widget);
            closeWhenSettled(widget);
        }
        return false;
    }

private:
    QList<QPointer<QWidget>> reported;
};

void answerTheProgram()
{
    auto *answerer = new DialogAnswerer(qApp);
    QObject::connect(qApp, &QObject::destroyed, answerer, [answerer] {
        for (const DialogAnswerer::Box &box : std::as_const(answerer->boxes))
            std::fprintf(stderr, "answered box: %s: %s\n", qUtf8Printable(box.title),
                         qUtf8Printable(box.text));
        std::fprintf(stderr, "file dialogs: %d\n", int(answerer->fileDialogs.size()));
    });
    qApp->installEventFilter(new ShowReporter(qApp));
}
Q_COREAPP_STARTUP_FUNCTION(answerTheProgram)

} // namespace
