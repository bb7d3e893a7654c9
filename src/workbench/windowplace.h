#pragma once

#include <QList>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>

class QWidget;

// Where a window stands, kept between runs under a name of its own. A window
// is remembered each time it is hidden, the program's end included; it comes
// back where it stood when its screen is still there, and otherwise on the
// main window's screen.
class WindowPlace final : public QObject
{
    Q_OBJECT

public:
    // Puts `window` where it stood last and remembers it from now on; false
    // when nothing was remembered or its screen is gone (it then keeps its
    // size from last time and the caller places it).
    static bool keep(QWidget *window, const QString &name);

    // A window beside the main window, as it first opens in a run: where it
    // stood last, or else at `wanted` size beside `mainWindow` on its screen,
    // clear of the main window where the screen has room, and never over
    // `picture` unless the screen leaves no other room. The other windows
    // of the main window that are open are kept clear of where possible.
    static void openBeside(QWidget *window, const QString &name, const QSize &wanted,
                           QWidget *mainWindow, const QWidget *picture);

    // The frame rectangle for a window of `wanted` size, at least `least`,
    // within `available`: clear of `mainFrame` and `others`, else clear of
    // `picture` and `others`, else clear of `picture`; then the same two
    // again down to `smallest`, the least the window can be; else where it
    // covers the least of `picture`. It stands as near the main window as it
    // can, level with its top or its left edge.
    static QRect spotBeside(const QRect &available, const QRect &mainFrame, const QRect &picture,
                            const QList<QRect> &others, const QSize &wanted, const QSize &least,
                            const QSize &smallest);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    WindowPlace(QWidget *window, const QString &name);
    void remember() const;

    QWidget *window;
    QString name;
};
