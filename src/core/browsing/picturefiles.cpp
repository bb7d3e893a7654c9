#include "picturefiles.h"

#include "fullpictures.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>
#include <QThread>
#include <QThreadPool>

#include <cstring>
#include <shared_mutex>

FileStamp FileStamp::of(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return {info.size(), info.lastModified().toMSecsSinceEpoch()};
}

QThreadPool *newBackgroundPool()
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return nullptr;
    auto *pool = new QThreadPool(application);
    pool->setMaxThreadCount(qMax(1, QThread::idealThreadCount() - 1));
    return pool;
}

bool isLargePicture(const QString &path)
{
    const QSize size = QImageReader(path).size();
    return size.isValid() && qint64(size.width()) * size.height() > 50'000'000;
}

std::shared_mutex &allocationLimitGuard()
{
    static std::shared_mutex guard;
    return guard;
}

static constexpr qint64 raisedLimitFactor = 4;

// `whole` brought to `upright`: halved as often as the result stays at least
// as large, then narrowed, a band of rows at a time.
static QImage reducedInBands(QImage whole, const QSize &upright)
{
    // Halved as often as the result stays at least as large as asked for,
    // then narrowed to the width asked for: each band of rows on its own, so
    // that nothing but a band is ever held in 32 bits beside the whole.
    int halvings = 0;
    QSize halvedSize = whole.size();
    while ((halvedSize.width() + 1) / 2 >= upright.width()
           && (halvedSize.height() + 1) / 2 >= upright.height()) {
        halvedSize = QSize((halvedSize.width() + 1) / 2, (halvedSize.height() + 1) / 2);
        ++halvings;
    }
    const QImage::Format wide = whole.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                        : QImage::Format_RGB32;
    QImage narrowed(upright.width(), halvedSize.height(), wide);
    if (narrowed.isNull())
        return narrowed;
    // A band of rows that halves into whole rows at every step.
    const int band = 16 << halvings;
    for (int y = 0; y < whole.height(); y += band) {
        QImage part = whole.copy(0, y, whole.width(), qMin(band, whole.height() - y))
                          .convertToFormat(wide);
        for (int i = 0; i < halvings; ++i)
            part = FullPictures::halved(part);
        if (part.width() != upright.width())
            part = part.scaled(upright.width(), part.height(), Qt::IgnoreAspectRatio,
                               Qt::SmoothTransformation);
        const int top = y >> halvings;
        for (int row = 0; row < part.height() && top + row < narrowed.height(); ++row)
            std::memcpy(narrowed.scanLine(top + row), part.constScanLine(row),
                        size_t(part.bytesPerLine()));
    }
    whole = QImage();
    if (narrowed.height() == upright.height())
        return narrowed;
    return narrowed.scaled(upright, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// A decode on the window's thread may wait here for one in the background
// while the limit is raised; such pictures are rare.
QImage readReducedBeyondLimit(const QString &path, const QSize &scaledSize)
{
    const std::unique_lock lock(allocationLimitGuard());
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    const qint64 limit = qint64(QImageReader::allocationLimit()) * 1024 * 1024;
    if (!stored.isValid() || limit <= 0 || scaledSize.isEmpty())
        return QImage();
    // The memory the decode takes, in whole rows of 32-bit words; the reader
    // checks its limit against no fewer than 32 bits a pixel, also for a
    // palette picture that it decodes into 8.
    const QImage::Format format = reader.imageFormat();
    const qint64 bits = format == QImage::Format_Invalid
                            ? 32
                            : QImage::toPixelFormat(format).bitsPerPixel();
    const auto bytesAt = [&](qint64 bitsPerPixel) {
        return (stored.width() * bitsPerPixel + 31) / 32 * 4 * stored.height();
    };
    const qint64 bytes = bytesAt(bits);
    const qint64 counted = bytesAt(qMax<qint64>(bits, 32));
    if (counted <= limit || bytes > limit * raisedLimitFactor)
        return QImage();
    const QSize upright =
        reader.transformation().testFlag(QImageIOHandler::TransformationRotate90)
            ? scaledSize.transposed()
            : scaledSize;

    const int usual = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(int(counted / (1024 * 1024)) + 1);
    QImage whole = reader.read();
    QImageReader::setAllocationLimit(usual);
    if (whole.isNull())
        return whole;
    return reducedInBands(std::move(whole), upright);
}
