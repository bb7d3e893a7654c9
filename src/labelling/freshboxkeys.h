#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

class QWidget;

// A box that appears while the person is typing must not take the keys
// typed before it could be seen: `o` `k` `Return` meant for the next image
// would answer it. For the first 400 ms of every message box and progress
// dialog of the program, the keys sent to it are dropped; after that the
// box takes keys as any box does. One filter for the whole application,
// whichever window or operation opened the box.
class FreshBoxKeys final : public QObject
{
    Q_OBJECT

public:
    // Installs the filter once for the running application.
    static void guardApplication();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    using QObject::QObject;

    QPointer<QWidget> box; // the box shown last
    QElapsedTimer shown;
};
