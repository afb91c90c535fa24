#include "PcmConversion.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace Pcm
{

namespace
{

template <typename T> T readSample(const uchar *p, bool bigEndian)
{
    return bigEndian ? qFromBigEndian<T>(p) : qFromLittleEndian<T>(p);
}

qint16 saturate(long value)
{
    return static_cast<qint16>(std::clamp<long>(value, std::numeric_limits<qint16>::min(),
                                                std::numeric_limits<qint16>::max()));
}

qint16 fromFloat(float value)
{
    if (std::isnan(value)) {
        return 0;
    }
    return saturate(std::lround(static_cast<double>(value) * 32768.0));
}

} // namespace

QAudioFormat signed16Format(int sampleRate, int channelCount)
{
    QAudioFormat format;
    format.setSampleRate(sampleRate);
    format.setChannelCount(channelCount);
    format.setSampleSize(16);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    return format;
}

bool canConvert(const QAudioFormat &format)
{
    if (format.codec() != QLatin1String("audio/pcm") || format.channelCount() < 1) {
        return false;
    }
    switch (format.sampleType()) {
    case QAudioFormat::SignedInt:
    case QAudioFormat::UnSignedInt:
        return format.sampleSize() == 8 || format.sampleSize() == 16 || format.sampleSize() == 32;
    case QAudioFormat::Float:
        return format.sampleSize() == 32;
    case QAudioFormat::Unknown:
        break;
    }
    return false;
}

QString describe(const QAudioFormat &format)
{
    static const char *const types[] = {"unknown", "signed", "unsigned", "float"};
    const int type = std::clamp(static_cast<int>(format.sampleType()), 0, 3);
    return QStringLiteral("%1 Hz, %2 channels, %3-bit %4 %5, %6")
        .arg(format.sampleRate())
        .arg(format.channelCount())
        .arg(format.sampleSize())
        .arg(QLatin1String(types[type]))
        .arg(format.byteOrder() == QAudioFormat::BigEndian ? QStringLiteral("big-endian")
                                                           : QStringLiteral("little-endian"))
        .arg(format.codec());
}

QByteArray toSigned16(const char *data, qint64 length, const QAudioFormat &format)
{
    if (!canConvert(format) || length <= 0) {
        return QByteArray();
    }
    const int bytesPerSample = format.sampleSize() / 8;
    const bool bigEndian = format.byteOrder() == QAudioFormat::BigEndian;
    const qint64 count = length / bytesPerSample;
    const auto *in = reinterpret_cast<const uchar *>(data);

    if (format.sampleType() == QAudioFormat::SignedInt && bytesPerSample == 2 &&
        bigEndian == (QSysInfo::ByteOrder == QSysInfo::BigEndian)) {
        return QByteArray(data, static_cast<int>(count * 2));
    }

    QByteArray out(static_cast<int>(count * 2), Qt::Uninitialized);
    auto *samples = reinterpret_cast<qint16 *>(out.data());
    for (qint64 i = 0; i < count; ++i) {
        const uchar *p = in + i * bytesPerSample;
        qint16 value = 0;
        switch (format.sampleType()) {
        case QAudioFormat::SignedInt:
            if (bytesPerSample == 1) {
                value = static_cast<qint16>(static_cast<qint8>(*p) * 256);
            } else if (bytesPerSample == 2) {
                value = readSample<qint16>(p, bigEndian);
            } else {
                value = static_cast<qint16>(readSample<qint32>(p, bigEndian) >> 16);
            }
            break;
        case QAudioFormat::UnSignedInt:
            if (bytesPerSample == 1) {
                value = static_cast<qint16>((static_cast<int>(*p) - 128) * 256);
            } else if (bytesPerSample == 2) {
                value = static_cast<qint16>(static_cast<int>(readSample<quint16>(p, bigEndian)) -
                                            32768);
            } else {
                value = static_cast<qint16>(
                    (static_cast<qint64>(readSample<quint32>(p, bigEndian)) - 2147483648LL) >> 16);
            }
            break;
        case QAudioFormat::Float: {
            const quint32 bits = readSample<quint32>(p, bigEndian);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            value = fromFloat(f);
            break;
        }
        case QAudioFormat::Unknown:
            break;
        }
        samples[i] = value;
    }
    return out;
}

QByteArray firstChannel(const QByteArray &samples, int channelCount)
{
    if (channelCount <= 1) {
        return QByteArray(samples.constData(), samples.size() & ~1);
    }
    const int frames = samples.size() / (2 * channelCount);
    QByteArray mono(frames * 2, Qt::Uninitialized);
    const auto *in = reinterpret_cast<const qint16 *>(samples.constData());
    auto *out = reinterpret_cast<qint16 *>(mono.data());
    for (int i = 0; i < frames; ++i) {
        out[i] = in[i * channelCount];
    }
    return mono;
}

void applyGain(QByteArray &samples, qreal gain)
{
    if (gain >= 1.0) {
        return;
    }
    // Fixed point keeps the per-sample work to one multiplication.
    const long factor = std::lround(std::max<qreal>(gain, 0.0) * 65536.0);
    auto *p = reinterpret_cast<qint16 *>(samples.data());
    const int count = samples.size() / 2;
    for (int i = 0; i < count; ++i) {
        p[i] = saturate((static_cast<long>(p[i]) * factor + 32768) >> 16);
    }
}

quint16 peakLevel(const QByteArray &samples)
{
    const auto *p = reinterpret_cast<const qint16 *>(samples.constData());
    const int count = samples.size() / 2;
    int peak = 0;
    for (int i = 0; i < count; ++i) {
        peak = std::max(peak, std::abs(static_cast<int>(p[i])));
    }
    return static_cast<quint16>(std::min(peak, 32767));
}

} // namespace Pcm
