#pragma once

#include "fullpictures.h"

#include <QImage>
#include <QList>
#include <QPoint>
#include <QPointF>
#include <QWidget>

#include <array>

class QLabel;

// How the picture's tones are shown: neutral at all zeros. Each runs from
// -100 to 100; brightness shifts the tones, contrast spreads them around the
// middle grey, gamma lifts (above 0) or deepens (below 0) the middle tones.
struct Tone
{
    int brightness = 0;
    int contrast = 0;
    int gamma = 0;

    bool isNeutral() const { return brightness == 0 && contrast == 0 && gamma == 0; }
    // The shown value of each 8-bit channel value.
    std::array<uchar, 256> curve() const;
};

// Draws one picture, and nothing but the picture on its background: fitted
// and centred, or at a fixed scale around a point of the picture that the
// person moves by dragging and zooms around with the wheel. Scales count
// device pixels per picture pixel, so 1 shows every pixel of the picture on
// one pixel of the screen, also on a scaled screen. Only the part in view is
// scaled and toned, once for each change.
class InspectionCanvas final : public QWidget
{
    Q_OBJECT
    // For checks and scripts that know the canvas by its object name only.
    Q_PROPERTY(qreal scale READ scale NOTIFY scaleChanged)
    Q_PROPERTY(bool fitted READ isFitted NOTIFY scaleChanged)

public:
    explicit InspectionCanvas(QWidget *parent = nullptr);

    // Shows `picture`. A fitted view stays fitted; a fixed scale stays, with
    // the new picture's centre in the middle. The same picture again (a file
    // shown anew) keeps the part in view as well.
    void setPicture(const FullPicture &picture);
    // Shows `text` instead of a picture; an empty text shows nothing.
    void showText(const QString &text);
    const QImage &picture() const { return shown.image; }
    QString text() const;

    void setTone(const Tone &tone);

    // Device pixels per picture pixel.
    qreal scale() const;
    bool isFitted() const { return fitted; }
    // The scale at which the whole picture fits, and the range of scales:
    // from the fitted one (or 100 %, for a picture smaller than the canvas)
    // to 16 times (or the fitted one, for a tiny picture).
    qreal fitScale() const;
    qreal minimumScale() const;
    qreal maximumScale() const;

    void fitToWindow();
    void showActualPixels();
    void zoomIn();
    void zoomOut();
    // Zooms by `factor`, keeping the picture's point at `anchor` (a position
    // in the canvas) where it is.
    void zoomBy(qreal factor, const QPointF &anchor);

    // Where the picture's top left corner lies, in device pixels of the canvas.
    QPointF pictureOrigin() const;

signals:
    void scaleChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QSizeF deviceSize() const;
    void zoomTo(qreal scale, const QPointF &anchor);
    void keepInView();
    void showCursor();
    void changed();
    void render();
    const QImage &level(int halvings);

    // With the halves it came with, and those made here when more are needed.
    FullPicture shown;
    QLabel *message = nullptr;
    Tone tone;
    std::array<uchar, 256> curve{};

    bool fitted = true;
    qreal fixedScale = 1;
    // The picture's point in the middle of the canvas, in picture pixels.
    QPointF centre;

    bool dragging = false;
    QPointF dragFrom;

    // What was drawn last, in device pixels, until something changes.
    QImage frame;
    bool stale = true;
};
