#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>

class QProgressDialog;
class QWidget;

// A save that waits for a team's server. A short wait passes unseen; a
// longer one shows a modal progress dialog over the window, which keeps
// the window painted while nothing but that dialog takes input, until the
// answer comes or the store gives up. The dialog goes when this does.
class ServerWaiting final
{
    Q_DECLARE_TR_FUNCTIONS(ServerWaiting)

public:
    // `text` says what the window waits for.
    ServerWaiting(QWidget *window, const QString &text);
    ~ServerWaiting();
    ServerWaiting(const ServerWaiting &) = delete;
    ServerWaiting &operator=(const ServerWaiting &) = delete;

    // Called again and again while the answer is awaited; always true: the
    // store ends the wait itself after five seconds.
    bool keepWaiting();

private:
    QWidget *window;
    QString text;
    QElapsedTimer waited;
    QPointer<QProgressDialog> dialog;
};
