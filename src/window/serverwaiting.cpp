#include "serverwaiting.h"

#include <QProgressDialog>
#include <QWidget>

// A wait this short looks like a slow save; a longer one needs telling.
static constexpr int unseenMilliseconds = 300;

ServerWaiting::ServerWaiting(QWidget *window, const QString &text)
    : window(window)
    , text(text)
{
}

ServerWaiting::~ServerWaiting()
{
    delete dialog;
}

bool ServerWaiting::keepWaiting()
{
    if (!waited.isValid())
        waited.start();
    if (!dialog && waited.elapsed() >= unseenMilliseconds) {
        dialog = new QProgressDialog(text, QString(), 0, 0, window);
        // Modal for the whole program: no window beside this one may start
        // another operation while the save is under way.
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->setCancelButton(nullptr);
        dialog->setMinimumDuration(0);
        dialog->setAutoReset(false);
        dialog->setAutoClose(false);
        dialog->show();
    }
    if (dialog)
        QCoreApplication::processEvents();
    return true;
}
