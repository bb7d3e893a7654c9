#include "lockwaiting.h"

#include <QCoreApplication>
#include <QProgressDialog>
#include <QWidget>

// A wait this short looks like a slow save; a longer one needs telling.
static constexpr int unseenMilliseconds = 300;

LockWaiting::LockWaiting(QWidget *window)
    : window(window)
{
}

LockWaiting::~LockWaiting()
{
    delete dialog;
}

bool LockWaiting::keepWaiting()
{
    if (!waited.isValid())
        waited.start();
    if (!dialog && waited.elapsed() >= unseenMilliseconds) {
        dialog = new QProgressDialog(tr("正在等待其他程序释放标签文件…"), tr("取消"), 0, 0,
                                     window);
        // Modal for the whole program: no window beside this one may start
        // another operation (its keys are the main window's) while the save
        // is under way.
        dialog->setWindowModality(Qt::ApplicationModal);
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
    return dialog && !dialog->wasCanceled();
}
