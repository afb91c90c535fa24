#include "Signal.h"

#include <QFile>
#include <QtEndian>

#include <opus.h>

#include <algorithm>
#include <cmath>

namespace Signal
{

QByteArray sine16(int sampleRate, int frames, const QVector<double> &frequencies, double amplitude)
{
    const int channels = frequencies.size();
    QByteArray data(frames * channels * 2, Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(data.data());
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const double value = amplitude * std::sin(2 * M_PI * frequencies[c] * i / sampleRate);
            out[i * channels + c] = static_cast<qint16>(std::lround(value));
        }
    }
    return data;
}

double toneEnergy(const QVector<float> &samples, int sampleRate, double frequency)
{
    const double w = 2 * M_PI * frequency / sampleRate;
    const double coefficient = 2 * std::cos(w);
    double s1 = 0;
    double s2 = 0;
    for (const float x : samples) {
        const double s0 = x + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return samples.isEmpty() ? 0.0 : 2.0 * power / samples.size();
}

double totalEnergy(const QVector<float> &samples)
{
    double sum = 0;
    for (const float x : samples) {
        sum += static_cast<double>(x) * x;
    }
    return sum;
}

double signalToNoiseDb(const QVector<float> &samples, int sampleRate, double frequency)
{
    const double tone = toneEnergy(samples, sampleRate, frequency);
    const double rest = std::max(totalEnergy(samples) - tone, 1e-12);
    return 10 * std::log10(std::max(tone, 1e-12) / rest);
}

OpusStream::OpusStream()
{
    int error = OPUS_OK;
    decoder = opus_decoder_create(48000, 1, &error);
}

OpusStream::~OpusStream()
{
    if (decoder) {
        opus_decoder_destroy(decoder);
    }
}

int OpusStream::decode(const QByteArray &packet)
{
    if (!decoder) {
        return OPUS_ALLOC_FAIL;
    }
    QVector<opus_int16> pcm(5760);
    const int count =
        opus_decode(decoder, reinterpret_cast<const unsigned char *>(packet.constData()),
                    packet.size(), pcm.data(), pcm.size(), 0);
    for (int i = 0; i < count; ++i) {
        decoded.append(pcm[i]);
    }
    return count;
}

QList<QByteArray> opusTone(int frames, const QVector<int> &frameSamples)
{
    int error = OPUS_OK;
    OpusEncoder *encoder = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &error);
    QList<QByteArray> packets;
    qint64 position = 0;
    for (int f = 0; f < frames && encoder; ++f) {
        const int samples = frameSamples.at(f % frameSamples.size());
        QVector<opus_int16> pcm(samples);
        for (int i = 0; i < samples; ++i, ++position) {
            const double t = position / 48000.0;
            pcm[i] = opus_int16(9000 * std::sin(2 * M_PI * (440 * t + 3 * std::sin(2 * M_PI * t))));
        }
        QByteArray packet(1500, '\0');
        const int size = opus_encode(encoder, pcm.data(), samples,
                                     reinterpret_cast<unsigned char *>(packet.data()), 1500);
        packet.resize(std::max(size, 0));
        packets << packet;
    }
    if (encoder) {
        opus_encoder_destroy(encoder);
    }
    return packets;
}

QVector<float> wavSamples(const QString &path, QString *problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        return {};
    }
    const QByteArray bytes = file.readAll();
    const auto u32 = [&](int at) {
        return qFromLittleEndian<quint32>(bytes.constData() + at);
    };
    const auto u16 = [&](int at) {
        return qFromLittleEndian<quint16>(bytes.constData() + at);
    };
    if (bytes.size() < 44 || !bytes.startsWith("RIFF") || bytes.mid(8, 8) != "WAVEfmt " ||
        u16(20) != 1 || u16(22) != 1 || u32(24) != 48000 || u16(34) != 16 ||
        bytes.mid(36, 4) != "data" || u32(40) != quint32(bytes.size() - 44) ||
        u32(4) != quint32(bytes.size() - 8)) {
        *problem = QStringLiteral("not a complete 48 kHz mono 16-bit WAV file");
        return {};
    }
    QVector<float> samples(int(u32(40) / 2));
    for (int i = 0; i < samples.size(); ++i) {
        samples[i] = qFromLittleEndian<qint16>(bytes.constData() + 44 + 2 * i);
    }
    return samples;
}

} // namespace Signal
