#include "windowplace.h"

#include "remembered.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <limits>

namespace {

QString key(const QString &name, const char *what)
{
    return QStringLiteral("windows/%1/%2").arg(name, QLatin1String(what));
}

QScreen *screenNamed(const QString &name)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (QScreen *screen : screens) {
        if (screen->name() == name)
            return screen;
    }
    return nullptr;
}

// Enough of the window on the screen to take it by its title bar.
bool reachable(const QRect &geometry, const QRect &available)
{
    const QRect seen = geometry.intersected(available);
    return seen.width() >= qMin(100, geometry.width())
        && seen.height() >= qMin(30, geometry.height());
}

// The frame around a window that is shown; an empty one for a window that is not.
QMargins frameOf(const QWidget *window)
{
    const QRect frame = window->frameGeometry();
    const QRect inside = window->geometry();
    return QMargins(inside.left() - frame.left(), inside.top() - frame.top(),
                    frame.right() - inside.right(), frame.bottom() - inside.bottom());
}

// Not shown yet, a window has no frame: it will get one like the shown
// window it belongs to.
QMargins expectedFrame(const QWidget *window)
{
    if (window->isVisible())
        return frameOf(window);
    const QWidget *owner = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    return owner && owner->isVisible() ? frameOf(owner) : QMargins();
}

// `geometry` moved and, where it must be, shrunk so that the window with its
// frame lies on `available`: a screen smaller than last time's keeps all of
// the window in reach.
QRect fitted(const QRect &geometry, const QMargins &frame, const QRect &available)
{
    QRect framed = geometry.marginsAdded(frame);
    framed.setSize(framed.size().boundedTo(available.size()));
    framed.moveTo(qBound(available.left(), framed.left(), available.right() + 1 - framed.width()),
                  qBound(available.top(), framed.top(), available.bottom() + 1 - framed.height()));
    return framed.marginsRemoved(frame);
}

qint64 area(const QRect &rect)
{
    return rect.isEmpty() ? 0 : qint64(rect.width()) * rect.height();
}

// The largest rectangles within `available` that touch none of `obstacles`,
// found among the edges of the obstacles; a window takes the one that holds
// most of it, the nearer to `home` on a tie.
std::optional<QRect> freeRoom(const QRect &available, const QList<QRect> &obstacles,
                              const QSize &size, const QSize &least, const QRect &home)
{
    QList<int> xs{available.left(), available.right() + 1};
    QList<int> ys{available.top(), available.bottom() + 1};
    for (const QRect &obstacle : obstacles) {
        const QRect inside = obstacle.intersected(available);
        if (inside.isEmpty())
            continue;
        xs << inside.left() << inside.right() + 1;
        ys << inside.top() << inside.bottom() + 1;
    }
    std::sort(xs.begin(), xs.end());
    std::sort(ys.begin(), ys.end());

    std::optional<QRect> best;
    qint64 bestHeld = 0;
    qint64 bestDistance = 0;
    for (qsizetype left = 0; left < xs.size(); ++left) {
        for (qsizetype right = left + 1; right < xs.size(); ++right) {
            const int width = xs.at(right) - xs.at(left);
            if (width < least.width())
                continue;
            for (qsizetype top = 0; top < ys.size(); ++top) {
                for (qsizetype bottom = top + 1; bottom < ys.size(); ++bottom) {
                    const int height = ys.at(bottom) - ys.at(top);
                    if (height < least.height())
                        continue;
                    const QRect room(xs.at(left), ys.at(top), width, height);
                    const bool clear = std::none_of(obstacles.cbegin(), obstacles.cend(),
                                                    [&room](const QRect &obstacle) {
                                                        return obstacle.intersects(room);
                                                    });
                    if (!clear)
                        continue;
                    const qint64 held =
                        qint64(qMin(width, size.width())) * qMin(height, size.height());
                    const QPoint apart = room.center() - home.center();
                    const qint64 distance = qint64(apart.x()) * apart.x()
                        + qint64(apart.y()) * apart.y();
                    if (!best || held > bestHeld || (held == bestHeld && distance < bestDistance)) {
                        best = room;
                        bestHeld = held;
                        bestDistance = distance;
                    }
                }
            }
        }
    }
    return best;
}

} // namespace

WindowPlace::WindowPlace(QWidget *window, const QString &name)
    : QObject(window)
    , window(window)
    , name(name)
{
    window->installEventFilter(this);
}

bool WindowPlace::keep(QWidget *window, const QString &name)
{
    new WindowPlace(window, name);
    const Remembered remembered;
    const QRect geometry = remembered.value(key(name, "geometry")).toRect();
    if (!geometry.isValid())
        return false;
    const QScreen *screen = screenNamed(remembered.value(key(name, "screen")).toString());
    if (!screen || !reachable(geometry, screen->availableGeometry())) {
        window->resize(geometry.size());
        return false;
    }
    window->setGeometry(fitted(geometry, expectedFrame(window), screen->availableGeometry()));
    if (remembered.value(key(name, "maximized")).toBool())
        window->setWindowState(window->windowState() | Qt::WindowMaximized);
    return true;
}

void WindowPlace::openBeside(QWidget *window, const QString &name, const QSize &wanted,
                             QWidget *mainWindow, const QWidget *picture)
{
    window->resize(wanted);
    if (keep(window, name))
        return;

    // Not shown yet, the window has no frame: it will get one like the
    // main window's.
    const QRect mainFrame = mainWindow->frameGeometry();
    const QMargins frame = frameOf(mainWindow);
    const QSize framing(frame.left() + frame.right(), frame.top() + frame.bottom());

    QList<QRect> others;
    const QList<QWidget *> children =
        mainWindow->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (const QWidget *child : children) {
        if (child != window && child->isWindow() && child->isVisible())
            others.append(child->frameGeometry());
    }
    const QRect pictureRect(picture->mapToGlobal(QPoint(0, 0)), picture->size());
    // Squeezed below half its size, a window is no help beside the picture:
    // it then rather covers some of it.
    const QSize smallest = window->minimumSizeHint().expandedTo(window->minimumSize());
    const QSize least = (window->size() / 2).expandedTo(smallest);
    const QRect spot = spotBeside(mainWindow->screen()->availableGeometry(), mainFrame, pictureRect,
                                  others, window->size() + framing, least + framing,
                                  smallest + framing);
    window->setGeometry(spot.marginsRemoved(frame));
}

QRect WindowPlace::spotBeside(const QRect &available, const QRect &mainFrame, const QRect &picture,
                              const QList<QRect> &others, const QSize &wanted, const QSize &least,
                              const QSize &smallest)
{
    const QSize size = wanted.expandedTo(least).boundedTo(available.size());
    const QSize fewest = least.boundedTo(size);
    const QSize tightest = smallest.boundedTo(fewest);
    struct Try
    {
        QList<QRect> obstacles;
        QSize least;
    };
    const QList<Try> tries{{QList<QRect>{mainFrame} + others, fewest},
                           {QList<QRect>{picture} + others, fewest},
                           {{picture}, fewest},
                           {QList<QRect>{picture} + others, tightest},
                           {{picture}, tightest}};
    for (const Try &attempt : tries) {
        const std::optional<QRect> room =
            freeRoom(available, attempt.obstacles, size, attempt.least, mainFrame);
        if (!room)
            continue;
        const QSize fitted = size.boundedTo(room->size());
        const int x = qBound(room->left(), mainFrame.left(), room->right() + 1 - fitted.width());
        const int y = qBound(room->top(), mainFrame.top(), room->bottom() + 1 - fitted.height());
        return QRect(QPoint(x, y), fitted);
    }

    // No room clear of the picture: the corner of the screen where the
    // window covers the least of it.
    QRect best;
    qint64 covered = std::numeric_limits<qint64>::max();
    const QList<QPoint> corners{available.topLeft(),
                                QPoint(available.right() + 1 - size.width(), available.top()),
                                QPoint(available.left(), available.bottom() + 1 - size.height()),
                                QPoint(available.right() + 1 - size.width(),
                                       available.bottom() + 1 - size.height())};
    for (const QPoint &corner : corners) {
        const QRect spot(corner, size);
        const qint64 over = area(spot.intersected(picture));
        if (over < covered) {
            best = spot;
            covered = over;
        }
    }
    return best;
}

bool WindowPlace::eventFilter(QObject *watched, QEvent *event)
{
    // A spontaneous hide is a minimised window, which still stands where it stood.
    if (watched == window && event->type() == QEvent::Hide && !event->spontaneous())
        remember();
    return QObject::eventFilter(watched, event);
}

void WindowPlace::remember() const
{
    Remembered remembered;
    const bool maximized = window->isMaximized();
    remembered.setValue(key(name, "geometry"),
                        maximized ? window->normalGeometry() : window->geometry());
    remembered.setValue(key(name, "maximized"), maximized);
    remembered.setValue(key(name, "screen"), window->screen()->name());
}
