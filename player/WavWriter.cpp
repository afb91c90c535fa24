#include "WavWriter.h"

#include <QtEndian>

#include <array>
#include <cstring>

namespace player
{

namespace
{
constexpr int kHeaderBytes = 44;
// RIFF sizes are 32 bits: the data chunk must leave room for the rest of the header.
constexpr qint64 kMaxDataBytes = 0xffffffffLL - (kHeaderBytes - 8);

QByteArray header(int sampleRate, qint64 dataBytes)
{
    // Built on the stack: the compiler cannot see a QByteArray's size and warns.
    std::array<char, kHeaderBytes> bytes{};
    char *h = bytes.data();
    auto put32 = [h](int at, quint32 value) {
        qToLittleEndian<quint32>(value, h + at);
    };
    auto put16 = [h](int at, quint16 value) {
        qToLittleEndian<quint16>(value, h + at);
    };
    std::memcpy(h, "RIFF", 4);
    put32(4, quint32(dataBytes + kHeaderBytes - 8));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1); // PCM
    put16(22, 1); // mono
    put32(24, quint32(sampleRate));
    put32(28, quint32(sampleRate * 2));
    put16(32, 2);
    put16(34, 16);
    std::memcpy(h + 36, "data", 4);
    put32(40, quint32(dataBytes));
    return QByteArray(bytes.data(), kHeaderBytes);
}
} // namespace

WavWriter::WavWriter(int sampleRate)
    : rate(sampleRate)
{
}

WavWriter::~WavWriter()
{
    close();
}

bool WavWriter::open(const QString &path)
{
    close();
    file.setFileName(path);
    dataBytes = 0;
    bytesSinceHeader = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !updateHeader()) {
        error = file.errorString();
        file.close();
        return false;
    }
    return true;
}

bool WavWriter::updateHeader()
{
    const qint64 end = file.pos();
    if (!file.seek(0) || file.write(header(rate, dataBytes)) != kHeaderBytes ||
        !file.seek(std::max<qint64>(end, kHeaderBytes)) || !file.flush()) {
        return false;
    }
    bytesSinceHeader = 0;
    return true;
}

bool WavWriter::write(const qint16 *samples, int count)
{
    if (!file.isOpen()) {
        return false;
    }
    qint64 bytes = qint64(count) * 2;
    if (dataBytes + bytes > kMaxDataBytes) {
        bytes = (kMaxDataBytes - dataBytes) & ~qint64(1);
        error = QStringLiteral("the file has reached the WAV format's size limit");
    }
    QByteArray little(int(bytes), Qt::Uninitialized);
    qToLittleEndian<qint16>(samples, bytes / 2, little.data());
    if (file.write(little) != bytes) {
        error = file.errorString();
        close();
        return false;
    }
    dataBytes += bytes;
    bytesSinceHeader += bytes;
    if (bytesSinceHeader >= rate * 2 && !updateHeader()) {
        error = file.errorString();
        close();
        return false;
    }
    if (bytes < qint64(count) * 2) {
        close();
        return false;
    }
    return true;
}

void WavWriter::close()
{
    if (file.isOpen()) {
        updateHeader();
        file.close();
    }
}

} // namespace player
