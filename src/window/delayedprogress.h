#pragma once

#include "sessionscreen.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>

class QProgressDialog;
class QWidget;

// A wait of the session: for another program to let go of the annotation
// file's lock, or for a team's server. A short wait passes unseen; a longer
// one shows a modal progress dialog over the window saying `text`, which
// keeps the window painted while nothing but that dialog takes input. With
// a `cancel` text the dialog has that button, and the wait ends once it is
// clicked; without, the store ends the wait itself. The dialog goes when
// this does.
class DelayedProgress final : public SessionWait
{
public:
    DelayedProgress(QWidget *window, const QString &text, const QString &cancel = QString());
    ~DelayedProgress() override;
    DelayedProgress(const DelayedProgress &) = delete;
    DelayedProgress &operator=(const DelayedProgress &) = delete;

    // Called before each new try; false once the person has cancelled.
    bool keepWaiting() override;

private:
    QWidget *window;
    QString text;
    QString cancel;
    QElapsedTimer waited;
    QPointer<QProgressDialog> dialog;
};
