// The pictures are held and decoded by PictureDecoding. The listing only
// tells which files to prepare: a file it misses, or a guess it gets wrong,
// costs a decode on the spot or a decode for nothing, never a wrong picture.
#include "fullpictures.h"

#include "picturedecoding.h"
#include "picturefiles.h"

#include <QImageReader>

#include <algorithm>
#include <cmath>
#include <optional>
#include <shared_mutex>
#include <utility>

struct FullPictures::State
{
    // A decode already running for the picture asked for is waited for; the
    // neighbours start after the picture is drawn.
    PictureDecoding<FullPicture> decoding{{true, true}, &FullPictures::decode};
};

FullPictures::FullPictures()
    : state(std::make_shared<State>())
{
}

FullPictures::~FullPictures()
{
    clear();
}

FullPicture FullPictures::picture(const QString &path, const QStringList &neighbours)
{
    return *pictureOrLater(path, neighbours, {});
}

std::optional<FullPicture> FullPictures::pictureOrLater(const QString &path,
                                                       const QStringList &neighbours,
                                                       std::function<void(const FullPicture &)> ready)
{
    return state->decoding.pictureOrLater(path, neighbours, std::move(ready));
}

void FullPictures::clear()
{
    state->decoding.clear();
}

bool FullPictures::hasPrepared(const QString &path) const
{
    return state->decoding.hasPrepared(path);
}

int FullPictures::heldCount() const
{
    return state->decoding.heldCount();
}

FullPicture FullPictures::decode(const QString &path)
{
    std::shared_lock limitLock(allocationLimitGuard());
    QImageReader reader(path);
    // Shown the way the camera stored its orientation.
    reader.setAutoTransform(true);

    // A picture beyond the reader's limit would not decode at all; it is read
    // reduced instead. The JPEG decoder reduces in steps of eighths, rounding
    // up to the next step, without ever holding the whole; 60 % of the limit
    // leaves room for that step.
    const QSize stored = reader.size();
    const qint64 limit = qint64(QImageReader::allocationLimit()) * 1024 * 1024;
    QSize scaled;
    if (stored.isValid() && limit > 0) {
        const qint64 budget = limit / 4 * 6 / 10;
        const qint64 pixels = qint64(stored.width()) * stored.height();
        if (pixels > budget) {
            const double shrink = std::sqrt(double(budget) / double(pixels));
            scaled = QSize(qMax(1, int(stored.width() * shrink)),
                           qMax(1, int(stored.height() * shrink)));
            reader.setScaledSize(scaled);
        }
    }

    FullPicture picture;
    picture.image = reader.read();
    limitLock.unlock();
    // Refused because the reader cannot reduce it and its whole decode is
    // beyond the limit (a 16-bit or palette PNG): read whole, then reduced.
    if (picture.image.isNull() && stored.isValid())
        picture.image = readReducedBeyondLimit(path, scaled.isValid() ? scaled : stored);
    if (picture.image.isNull())
        return picture;
    picture.reduced = scaled.isValid();
    // The view draws straight from 32-bit pixels, a part at a time.
    const QImage::Format format = picture.image.hasAlphaChannel()
                                      ? QImage::Format_ARGB32_Premultiplied
                                      : QImage::Format_RGB32;
    if (picture.image.format() != format)
        picture.image.convertTo(format);
    const QImage *last = &picture.image;
    while (std::max(last->width(), last->height()) >= 512) {
        picture.halves.append(halved(*last));
        last = &picture.halves.constLast();
    }
    return picture;
}

QImage FullPictures::halved(const QImage &image)
{
    Q_ASSERT(image.depth() == 32);
    const int width = (image.width() + 1) / 2;
    const int height = (image.height() + 1) / 2;
    QImage half(width, height, image.format());
    for (int y = 0; y < height; ++y) {
        const auto *upper = reinterpret_cast<const QRgb *>(image.constScanLine(2 * y));
        const auto *lower = reinterpret_cast<const QRgb *>(
            image.constScanLine(std::min(2 * y + 1, image.height() - 1)));
        auto *line = reinterpret_cast<QRgb *>(half.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int left = 2 * x;
            const int right = std::min(left + 1, image.width() - 1);
            const QRgb a = upper[left], b = upper[right], c = lower[left], d = lower[right];
            // Two channels at a time, in the even and in the odd bytes; the
            // sums of four bytes fit in the ten bits between.
            const quint32 evens = ((a & 0xff00ff) + (b & 0xff00ff) + (c & 0xff00ff)
                                   + (d & 0xff00ff) + 0x20002) >> 2;
            const quint32 odds = (((a >> 8) & 0xff00ff) + ((b >> 8) & 0xff00ff)
                                  + ((c >> 8) & 0xff00ff) + ((d >> 8) & 0xff00ff) + 0x20002)
                >> 2;
            line[x] = (evens & 0xff00ff) | ((odds & 0xff00ff) << 8);
        }
    }
    return half;
}
