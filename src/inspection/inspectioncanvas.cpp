// The picture at any scale from fitted to 16 times. All geometry is in device
// pixels: the picture's top left corner lies on a whole device pixel, and a
// picture pixel covers `scale` device pixels, so the picture pixel at (x, y)
// is drawn from origin + (x, y) * scale on. Each frame scales only the part
// of the picture that is in view, and tones only that. Below 100 % it draws
// from the picture halved as often as the scale allows, blended from there:
// every picture pixel counts, and a 12-megapixel photo fitted to the screen
// costs the blend of a quarter of its pixels, not the filtering of all.
#include "inspectioncanvas.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

const QColor background(0x2b, 0x2b, 0x2b);
// One step of +, - or of the wheel.
constexpr qreal zoomStep = 1.25;
constexpr qreal largestScale = 16;

bool nearlyEqual(qreal a, qreal b)
{
    return std::abs(a - b) <= 1e-9 * std::max(std::abs(a), std::abs(b));
}

} // namespace

std::array<uchar, 256> Tone::curve() const
{
    // Gamma first, on the stored tones; then contrast around the middle grey;
    // then the brightness shift, at most 40 % of the range either way.
    const double exponent = 1.0 / std::pow(3.0, gamma / 100.0);
    const double spread = std::pow(4.0, contrast / 100.0);
    const double shift = brightness / 250.0;
    std::array<uchar, 256> values{};
    for (int value = 0; value < 256; ++value) {
        double tone = std::pow(value / 255.0, exponent);
        tone = (tone - 0.5) * spread + 0.5 + shift;
        values[value] = uchar(std::lround(std::clamp(tone, 0.0, 1.0) * 255.0));
    }
    return values;
}

InspectionCanvas::InspectionCanvas(QWidget *parent)
    : QWidget(parent)
    , message(new QLabel(this))
    , curve(tone.curve())
{
    setObjectName(QStringLiteral("inspectionCanvas"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    setMinimumSize(200, 150);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    message->setObjectName(QStringLiteral("inspectionMessage"));
    message->setAlignment(Qt::AlignCenter);
    // A path is never markup.
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setStyleSheet(QStringLiteral("color: #e0e0e0; font-size: 16px; padding: 12px;"));
    message->setTextInteractionFlags(Qt::NoTextInteraction);
    message->hide();
}

void InspectionCanvas::setPicture(const FullPicture &picture)
{
    const bool same =
        !picture.isNull() && picture.image.cacheKey() == shown.image.cacheKey();
    shown = picture;
    message->hide();
    message->clear();
    if (!same) {
        centre = QPointF(shown.image.width(), shown.image.height()) / 2;
        fixedScale = std::clamp(fixedScale, minimumScale(), maximumScale());
    }
    keepInView();
    showCursor();
    changed();
}

void InspectionCanvas::showText(const QString &text)
{
    shown = FullPicture();
    message->setText(text);
    message->setVisible(!text.isEmpty());
    showCursor();
    changed();
}

QString InspectionCanvas::text() const
{
    return message->isVisible() ? message->text() : QString();
}

void InspectionCanvas::setTone(const Tone &newTone)
{
    tone = newTone;
    curve = tone.curve();
    changed();
}

QSizeF InspectionCanvas::deviceSize() const
{
    return QSizeF((QSizeF(size()) * devicePixelRatioF()).toSize());
}

qreal InspectionCanvas::fitScale() const
{
    const QSizeF area = deviceSize();
    if (shown.isNull() || area.isEmpty())
        return 1;
    return std::min(area.width() / shown.image.width(), area.height() / shown.image.height());
}

qreal InspectionCanvas::minimumScale() const
{
    return std::min(fitScale(), qreal(1));
}

qreal InspectionCanvas::maximumScale() const
{
    return std::max(fitScale(), largestScale);
}

qreal InspectionCanvas::scale() const
{
    return fitted ? fitScale() : fixedScale;
}

QPointF InspectionCanvas::pictureOrigin() const
{
    const QSizeF area = deviceSize();
    const qreal s = scale();
    // A side that fits is centred; one that does not shows the part around
    // `centre`, which keepInView() holds inside the picture.
    const auto along = [s](qreal room, qreal length, qreal middle) {
        const qreal drawn = length * s;
        return std::round(drawn <= room ? (room - drawn) / 2 : room / 2 - middle * s);
    };
    return QPointF(along(area.width(), shown.image.width(), centre.x()),
                   along(area.height(), shown.image.height(), centre.y()));
}

void InspectionCanvas::keepInView()
{
    if (shown.isNull())
        return;
    const QSizeF area = deviceSize();
    const qreal s = scale();
    const auto along = [s](qreal room, qreal length, qreal middle) {
        if (length * s <= room)
            return length / 2;
        const qreal half = room / 2 / s;
        return std::clamp(middle, half, length - half);
    };
    centre = QPointF(along(area.width(), shown.image.width(), centre.x()),
                     along(area.height(), shown.image.height(), centre.y()));
}

void InspectionCanvas::fitToWindow()
{
    fitted = true;
    centre = QPointF(shown.image.width(), shown.image.height()) / 2;
    showCursor();
    changed();
}

void InspectionCanvas::showActualPixels()
{
    zoomTo(1, QPointF(deviceSize().width(), deviceSize().height()) / 2);
}

void InspectionCanvas::zoomIn()
{
    zoomBy(zoomStep, QPointF(width(), height()) / 2);
}

void InspectionCanvas::zoomOut()
{
    zoomBy(1 / zoomStep, QPointF(width(), height()) / 2);
}

void InspectionCanvas::zoomBy(qreal factor, const QPointF &anchor)
{
    const qreal from = scale();
    qreal to = from * factor;
    // A step across the fitted scale or 100 % stops there, the nearer first.
    qreal stop = to;
    for (const qreal mark : {fitScale(), qreal(1)}) {
        const bool across = (from < mark && to > mark && !nearlyEqual(from, mark))
            || (from > mark && to < mark && !nearlyEqual(from, mark));
        if (across && std::abs(mark - from) < std::abs(stop - from))
            stop = mark;
    }
    zoomTo(stop, anchor * devicePixelRatioF());
}

void InspectionCanvas::zoomTo(qreal newScale, const QPointF &anchor)
{
    if (shown.isNull())
        return;
    const qreal to = std::clamp(newScale, minimumScale(), maximumScale());
    // The picture's point under the anchor stays under it. Reckoned from the
    // centre, not from the drawn corner, which lies on a whole pixel: so the
    // middle of a fitted picture stays the middle at any scale.
    const QPointF middle(deviceSize().width() / 2, deviceSize().height() / 2);
    const QPointF point = centre + (anchor - middle) / scale();
    fitted = nearlyEqual(to, fitScale());
    fixedScale = to;
    centre = point + (middle - anchor) / to;
    keepInView();
    showCursor();
    changed();
}

void InspectionCanvas::showCursor()
{
    const QSizeF area = deviceSize();
    const bool movable = !shown.isNull()
        && (shown.image.width() * scale() > area.width()
            || shown.image.height() * scale() > area.height());
    if (!movable)
        unsetCursor();
    else
        setCursor(dragging ? Qt::ClosedHandCursor : Qt::OpenHandCursor);
}

void InspectionCanvas::changed()
{
    stale = true;
    update();
    emit scaleChanged();
}

void InspectionCanvas::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    message->setGeometry(rect());
    if (!fitted)
        fixedScale = std::clamp(fixedScale, minimumScale(), maximumScale());
    keepInView();
    showCursor();
    changed();
}

void InspectionCanvas::wheelEvent(QWheelEvent *event)
{
    const QPoint steps = event->angleDelta();
    const int delta = steps.y() != 0 ? steps.y() : steps.x();
    if (delta == 0 || shown.isNull()) {
        event->ignore();
        return;
    }
    zoomBy(std::pow(zoomStep, delta / 120.0), event->position());
    event->accept();
}

void InspectionCanvas::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    dragging = true;
    dragFrom = event->position();
    showCursor();
}

void InspectionCanvas::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QPointF moved = (event->position() - dragFrom) * devicePixelRatioF();
    dragFrom = event->position();
    if (shown.isNull() || moved.isNull())
        return;
    // The picture follows the pointer.
    centre -= moved / scale();
    keepInView();
    changed();
}

void InspectionCanvas::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        dragging = false;
        showCursor();
    }
    QWidget::mouseReleaseEvent(event);
}

void InspectionCanvas::paintEvent(QPaintEvent *)
{
    const qreal ratio = devicePixelRatioF();
    if (stale || frame.size() != deviceSize().toSize() || frame.devicePixelRatio() != ratio) {
        render();
        stale = false;
    }
    QPainter(this).drawImage(QPointF(0, 0), frame);
}

const QImage &InspectionCanvas::level(int halvings)
{
    if (halvings == 0)
        return shown.image;
    while (shown.halves.size() < halvings)
        shown.halves.append(FullPictures::halved(shown.halves.isEmpty() ? shown.image
                                                                       : shown.halves.constLast()));
    return shown.halves.at(halvings - 1);
}

void InspectionCanvas::render()
{
    const QSize area = deviceSize().toSize();
    frame = QImage(area, QImage::Format_RGB32);
    frame.fill(background);
    if (!shown.isNull() && !area.isEmpty()) {
        const qreal s = scale();
        const QPointF origin = pictureOrigin();
        const QRectF placed(origin, QSizeF(shown.image.size()) * s);
        const QRect visible = placed.intersected(QRectF(QPointF(0, 0), QSizeF(area)))
                                  .toAlignedRect()
                                  .intersected(frame.rect());
        // Below 100 %, the halved picture whose pixels come nearest to the
        // device pixels without being smaller: it is drawn at 50 to 100 %.
        int halvings = 0;
        while (s * (1 << (halvings + 1)) <= 1 && halvings < 12)
            ++halvings;
        const QImage &source = level(halvings);
        const qreal sourceScale = s * (1 << halvings);
        // The source pixels behind the part in view, whole ones.
        const QRect behind = QRectF((QPointF(visible.topLeft()) - origin) / sourceScale,
                                    QSizeF(visible.size()) / sourceScale)
                                 .toAlignedRect()
                                 .intersected(source.rect());
        if (!visible.isEmpty() && !behind.isEmpty()) {
            // A view into the source's own pixels, not a copy.
            const QImage part(source.constScanLine(behind.y()) + behind.x() * 4, behind.width(),
                              behind.height(), source.bytesPerLine(), source.format());
            const QRectF target(origin + QPointF(behind.topLeft()) * sourceScale,
                                QSizeF(behind.size()) * sourceScale);
            QPainter painter(&frame);
            // Blended up to 200 %, square pixels beyond; at exactly 100 % of
            // the source, copied.
            painter.setRenderHint(QPainter::SmoothPixmapTransform,
                                  sourceScale < 2 && sourceScale != 1);
            painter.setClipRect(visible);
            painter.drawImage(target, part);
            painter.end();

            if (!tone.isNeutral()) {
                for (int y = visible.top(); y <= visible.bottom(); ++y) {
                    auto *line = reinterpret_cast<QRgb *>(frame.scanLine(y));
                    for (int x = visible.left(); x <= visible.right(); ++x) {
                        const QRgb pixel = line[x];
                        line[x] = qRgb(curve[qRed(pixel)], curve[qGreen(pixel)],
                                       curve[qBlue(pixel)]);
                    }
                }
            }
        }
    }
    frame.setDevicePixelRatio(devicePixelRatioF());
}
