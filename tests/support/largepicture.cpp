#include "largepicture.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QThreadPool>
#include <QtEndian>

#include <array>

namespace {

quint32 crc32(const QByteArray &bytes)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> entries{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes)
        crc = table[(crc ^ uchar(byte)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray chunk(const char *type, const QByteArray &data)
{
    const QByteArray typed = QByteArray(type) + data;
    return bigEndian(quint32(data.size())) + typed + bigEndian(crc32(typed));
}

// Deflate's bits go out from the lowest; its Huffman codes from their highest.
class BitWriter
{
public:
    void put(quint32 value, int bits)
    {
        for (int i = 0; i < bits; ++i)
            putBit((value >> i) & 1);
    }
    void putCode(quint32 code, int bits)
    {
        for (int i = bits - 1; i >= 0; --i)
            putBit((code >> i) & 1);
    }
    QByteArray finish()
    {
        if (used > 0)
            bytes.append(char(pending));
        return bytes;
    }

private:
    void putBit(quint32 bit)
    {
        pending |= bit << used;
        if (++used == 8) {
            bytes.append(char(pending));
            pending = 0;
            used = 0;
        }
    }

    QByteArray bytes;
    quint32 pending = 0;
    int used = 0;
};

// A zlib stream of `count` zero bytes in one block of fixed codes: a literal
// zero, then copies of 258 bytes from one byte back, then literals.
QByteArray zeros(qint64 count)
{
    BitWriter out;
    out.put(1, 1); // the last block
    out.put(1, 2); // fixed codes
    qint64 left = count;
    if (left > 0) {
        out.putCode(0x30, 8); // literal 0
        --left;
    }
    for (; left >= 258; left -= 258) {
        out.putCode(0xC5, 8); // length 258 (code 285)
        out.putCode(0, 5);    // distance 1
    }
    for (; left > 0; --left)
        out.putCode(0x30, 8);
    out.putCode(0, 7); // end of block
    const quint32 adler = quint32(count % 65521) << 16 | 1;
    return QByteArray("\x78\x01", 2) + out.finish() + bigEndian(adler);
}

} // namespace

void writeBlackPng(const QString &path, const QSize &size, bool decodable)
{
    QByteArray header = bigEndian(quint32(size.width())) + bigEndian(quint32(size.height()));
    header += QByteArray("\x08\x02\x00\x00\x00", 5); // 8-bit RGB, no interlace
    const qint64 rowBytes = 1 + qint64(size.width()) * 3; // a filter byte, then the pixels
    const QByteArray data =
        decodable ? zeros(rowBytes * size.height()) : QByteArray("no picture data");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write("\x89PNG\r\n\x1a\n");
    file.write(chunk("IHDR", header));
    file.write(chunk("IDAT", data));
    file.write(chunk("IEND", QByteArray()));
}

void waitForBackgroundDecodes()
{
    const QList<QThreadPool *> pools = QCoreApplication::instance()->findChildren<QThreadPool *>();
    for (QThreadPool *pool : pools)
        pool->waitForDone();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
}
