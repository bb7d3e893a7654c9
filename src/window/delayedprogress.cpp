#include "delayedprogress.h"

#include <QCoreApplication>
#include <QProgressDialog>
#include <QWidget>

// A wait this short looks like a slow save; a longer one needs telling.
static constexpr int unseenMilliseconds = 300;

DelayedProgress::DelayedProgress(QWidget *window, const QString &text, const QString &cancel)
    : window(window)
    , text(text)
    , cancel(cancel)
{
}

DelayedProgress::~DelayedProgress()
{
    delete dialog;
}

bool DelayedProgress::keepWaiting()
{
    if (!waited.isValid())
        waited.start();
    if (!dialog && waited.elapsed() >= unseenMilliseconds) {
        dialog = new QProgressDialog(text, cancel, 0, 0, window);
        // Modal for the whole program: no window beside this one may start
        // another operation (its keys are the main window's) while the save
        // is under way.
        dialog->setWindowModality(Qt::ApplicationModal);
        if (cancel.isEmpty())
            dialog->setCancelButton(nullptr);
        dialog->setMinimumDuration(0);
        dialog->setAutoReset(false);
        dialog->setAutoClose(false);
        dialog->show();
    }
    if (!dialog)
        return true;
    // Paints the window and the dialog and takes the click on the cancel
    // button; the modal dialog keeps every other input away.
    QCoreApplication::processEvents();
    if (cancel.isEmpty())
        return true;
    return dialog && !dialog->wasCanceled();
}
