#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>

class QProgressDialog;
class QWidget;

// A save that waits for another program to let go of the annotation file's
// lock. A short wait passes unseen; a longer one shows a modal progress
// dialog over the window with a cancel button, and keeps the window painted
// while nothing but that dialog takes input. The dialog goes when this does.
class LockWaiting final
{
    Q_DECLARE_TR_FUNCTIONS(LockWaiting)

public:
    explicit LockWaiting(QWidget *window);
    ~LockWaiting();
    LockWaiting(const LockWaiting &) = delete;
    LockWaiting &operator=(const LockWaiting &) = delete;

    // Called before each new try for the lock; false once the person has
    // cancelled the wait.
    bool keepWaiting();

private:
    QWidget *window;
    QElapsedTimer waited;
    QPointer<QProgressDialog> dialog;
};
