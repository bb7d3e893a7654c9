#include "freshboxkeys.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QProgressDialog>

// Longer than a person's pause between two keys of one burst, shorter than
// the time needed to read the box and decide.
static constexpr int unseenMilliseconds = 400;

void FreshBoxKeys::guardApplication()
{
    QCoreApplication *application = QCoreApplication::instance();
    if (application->findChild<FreshBoxKeys *>(QString(), Qt::FindDirectChildrenOnly))
        return;
    application->installEventFilter(new FreshBoxKeys(application));
}

bool FreshBoxKeys::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::Show && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if (qobject_cast<QMessageBox *>(widget) || qobject_cast<QProgressDialog *>(widget)) {
            box = widget;
            shown.start();
        }
        return false;
    }
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride)
        return false;
    if (!box || !box->isVisible() || shown.elapsed() >= unseenMilliseconds
        || !watched->isWidgetType() || static_cast<QWidget *>(watched)->window() != box)
        return false;
    // Claimed, the key triggers no shortcut of the box (a button's mnemonic)
    // and comes as a key press, which is dropped too.
    if (type == QEvent::ShortcutOverride)
        event->accept();
    return true;
}
