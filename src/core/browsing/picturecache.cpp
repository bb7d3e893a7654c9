// The pictures are held and decoded by PictureDecoding, for one size and
// ratio at a time: a picture asked for at another size drops every one held.
#include "picturecache.h"

#include "picturedecoding.h"
#include "picturefiles.h"

#include <QImageIOHandler>
#include <QImageReader>

#include <optional>
#include <shared_mutex>
#include <utility>

namespace {

PictureDecoding<QImage>::Decode decodingAt(const QSize &area, qreal ratio)
{
    return [area, ratio](const QString &path) { return PictureCache::decode(path, area, ratio); };
}

} // namespace

struct PictureCache::State
{
    // A picture shown at once, the neighbours prepared straight away.
    PictureDecoding<QImage> decoding{{false, false}, decodingAt(QSize(), 1)};
    QSize area;
    qreal ratio = 1;
};

PictureCache::PictureCache()
    : state(std::make_shared<State>())
{
}

PictureCache::~PictureCache()
{
    clear();
}

QImage PictureCache::picture(const QString &path, const QStringList &neighbours,
                             const QSize &area, qreal ratio)
{
    return *pictureOrLater(path, neighbours, area, ratio, {});
}

std::optional<QImage> PictureCache::pictureOrLater(const QString &path,
                                                   const QStringList &neighbours,
                                                   const QSize &area, qreal ratio,
                                                   std::function<void(const QImage &)> ready)
{
    Q_ASSERT(neighbours.size() <= 2 && !neighbours.contains(path));
    if (area != state->area || ratio != state->ratio) {
        state->area = area;
        state->ratio = ratio;
        state->decoding.restart(decodingAt(area, ratio));
    }
    return state->decoding.pictureOrLater(path, neighbours, std::move(ready));
}

void PictureCache::clear()
{
    state->decoding.clear();
}

bool PictureCache::hasPrepared(const QString &path) const
{
    return state->decoding.hasPrepared(path);
}

QImage PictureCache::decode(const QString &path, const QSize &area, qreal ratio)
{
    std::shared_lock limitLock(allocationLimitGuard());
    QImageReader reader(path);
    // Shown the way the camera stored its orientation.
    reader.setAutoTransform(true);
    const QSize target = (QSizeF(area) * ratio).toSize();
    const auto fit = [&](const QSize &upright) {
        const QSize fitted = upright.scaled(target, Qt::KeepAspectRatio);
        return QSize(qMax(fitted.width(), 1), qMax(fitted.height(), 1));
    };

    // Asking the reader for the shown size lets the JPEG decoder skip most of
    // the work for a large photo. The reader scales before it turns.
    QSize shown;
    QSize scaled;
    const QSize stored = reader.size();
    if (stored.isValid()) {
        const bool turned =
            reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
        shown = fit(turned ? stored.transposed() : stored);
        scaled = turned ? shown.transposed() : shown;
        reader.setScaledSize(scaled);
    }
    QImage image = reader.read();
    limitLock.unlock();
    if (image.isNull() && scaled.isValid())
        image = readReducedBeyondLimit(path, scaled);
    if (image.isNull())
        return image;
    if (!shown.isValid())
        shown = fit(image.size());
    if (image.size() != shown)
        image = image.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    image.setDevicePixelRatio(ratio);
    return image;
}
