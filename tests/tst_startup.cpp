// Runs the program's own entry with the start-up dialog cancelled: the
// warning must come, then the entry must return 0 without showing the window
// and without running the event loop. The dialogs speak Chinese throughout,
// the toolkit's own buttons and labels included.
#include "dialoganswerer.h"
#include "tavrelin.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QTimer>

#include <cstdio>
#include <memory>

int norvantaMain(int argc, char *argv[]);

namespace {

struct Observed
{
    QList<DialogAnswerer::Box> boxes;
    int fileDialogs = 0;
    bool windowShown = false;
    bool eventLoopRan = false;
    // As the desktop sees the program while it asks for the annotation file.
    bool iconDrawn = false;
    QString desktopFileName;
    // The toolkit's own texts in the dialogs.
    QStringList toolkitTexts;
};
Observed observed;

class ShowWatcher final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<Tavrelin *>(watched))
            observed.windowShown = true;
        if (event->type() == QEvent::Show && qobject_cast<QFileDialog *>(watched)) {
            // A null pixmap means that the icon is not compiled in or that
            // the SVG plugin is missing.
            const QWidget *parent = static_cast<QWidget *>(watched)->parentWidget();
            const auto *window = qobject_cast<const Tavrelin *>(parent);
            const QIcon icon = window ? window->windowIcon() : QIcon();
            observed.iconDrawn = !icon.pixmap(16).isNull() && !icon.pixmap(256).isNull();
            observed.desktopFileName = QGuiApplication::desktopFileName();
            for (const QAbstractButton *button : watched->findChildren<QAbstractButton *>())
                observed.toolkitTexts.append(button->text());
        }
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox *>(watched))
            observed.toolkitTexts.append(static_cast<QMessageBox *>(watched)->buttons().first()->text());
        return false;
    }
};

// Set up as soon as the entry has made its application object, before the
// window asks for the annotation file.
void watchTheEntry()
{
    auto *answerer = new DialogAnswerer(qApp);
    // The answerer goes with the application object; keep what it saw.
    QObject::connect(qApp, &QObject::destroyed, answerer, [answerer] {
        observed.boxes = answerer->boxes;
        observed.fileDialogs = int(answerer->fileDialogs.size());
    });
    qApp->installEventFilter(new ShowWatcher(qApp));
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp,
                     [] { observed.eventLoopRan = true; });
    // Should the event loop run after all, end it instead of hanging.
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(3); });
}
Q_COREAPP_STARTUP_FUNCTION(watchTheEntry)

int failures = 0;

void check(bool condition, const char *what)
{
    std::printf("%s: %s\n", condition ? "PASS" : "FAIL", what);
    if (!condition)
        ++failures;
}

} // namespace

int main(int argc, char *argv[])
{
    const int status = norvantaMain(argc, argv);

    check(status == 0, "the entry returns 0 after a refused start-up choice");
    check(observed.fileDialogs == 1, "the annotation file is asked for once");
    const bool warned = observed.boxes.size() == 1
        && observed.boxes.first().icon == QMessageBox::Warning
        && observed.boxes.first().title == QStringLiteral("警告")
        && observed.boxes.first().text == QStringLiteral("未指定保存路径，程序即将退出");
    check(warned, "a warning titled 警告 says the program will exit");
    check(!observed.windowShown, "the window is never shown");
    check(!observed.eventLoopRan, "the event loop never runs");
    check(observed.iconDrawn, "the window's icon is drawn at 16 and at 256 pixels");
    check(observed.desktopFileName == QStringLiteral(NORVANTA_APP_ID),
          "the desktop file name is the application id");

    // In any system language: the test runs in the C locale.
    check(observed.toolkitTexts.contains(QStringLiteral("保存(&S)"))
              && observed.toolkitTexts.contains(QStringLiteral("取消"))
              && observed.toolkitTexts.last() == QStringLiteral("确定"),
          "the toolkit's own buttons speak Chinese");

    std::printf("%d passed, %d failed\n", 8 - failures, failures);
    return failures == 0 ? 0 : 1;
}
