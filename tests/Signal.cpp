#include "Signal.h"

#include <QFile>
#include <QtEndian>

#include <opus.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace Signal
{

QByteArray sine16(int sampleRate, int frames, const QVector<double> &frequencies, double amplitude)
{
    const int channels = frequencies.size();
    QByteArray data(frames * channels * 2, Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(data.data());
    for (int i = 0; i < frames * channels; ++i) {
        out[i] = qint16(std::lround(amplitude * std::sin(2 * M_PI * frequencies[i % channels] *
                                                         (i / channels) / sampleRate)));
    }
    return data;
}

QVector<float> samples16(const QByteArray &raw)
{
    QVector<float> samples(raw.size() / 2);
    for (int i = 0; i < samples.size(); ++i) {
        samples[i] = qFromLittleEndian<qint16>(raw.constData() + 2 * i);
    }
    return samples;
}

double toneEnergy(const QVector<float> &samples, double frequency)
{
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / 48000);
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
        sum += double(x) * x;
    }
    return sum;
}

double toneAmplitude(const QVector<float> &samples, double frequency)
{
    return samples.isEmpty() ? 0 : std::sqrt(2 * toneEnergy(samples, frequency) / samples.size());
}

double snrDb(const QVector<float> &samples, const QVector<double> &frequencies)
{
    // Tenths of a second, so that a playback rate off by a fraction of a per cent does not move
    // the tones off their bins.
    double tones = 0;
    for (int first = 0; first + 4800 <= samples.size(); first += 4800) {
        for (const double frequency : frequencies) {
            tones += toneEnergy(samples.mid(first, 4800), frequency);
        }
    }
    const double rest = std::max(totalEnergy(samples) - tones, 1e-9);
    return 10 * std::log10(std::max(tones, 1e-9) / rest);
}

double bestSecondSnrDb(const QVector<float> &samples, const QVector<double> &frequencies,
                       int *bestFirst)
{
    double best = -1000;
    for (int first = 0; first + 48000 <= samples.size(); first += 4800) {
        const double snr = snrDb(samples.mid(first, 48000), frequencies);
        if (snr > best && bestFirst) {
            *bestFirst = first;
        }
        best = std::max(best, snr);
    }
    return best;
}

QList<QByteArray> opusTone(int frames, const QVector<int> &frameSamples)
{
    int error = OPUS_OK;
    const std::unique_ptr<OpusEncoder, void (*)(OpusEncoder *)> encoder(
        opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &error), opus_encoder_destroy);
    QList<QByteArray> packets;
    qint64 position = 0;
    for (int f = 0; f < frames; ++f) {
        QVector<opus_int16> pcm(frameSamples.at(f % frameSamples.size()));
        for (opus_int16 &sample : pcm) {
            const double t = position++ / 48000.0;
            sample = opus_int16(9000 * std::sin(2 * M_PI * (440 * t + 3 * std::sin(2 * M_PI * t))));
        }
        QByteArray packet(1500, '\0');
        const int size = opus_encode(encoder.get(), pcm.data(), pcm.size(),
                                     reinterpret_cast<unsigned char *>(packet.data()), 1500);
        packet.resize(std::max(size, 0));
        packets << packet;
    }
    return packets;
}

QVector<float> decodeAll(const QList<QByteArray> &packets)
{
    int error = OPUS_OK;
    const std::unique_ptr<OpusDecoder, void (*)(OpusDecoder *)> decoder(
        opus_decoder_create(48000, 1, &error), opus_decoder_destroy);
    QVector<float> decoded;
    QVector<opus_int16> pcm(5760);
    for (const QByteArray &packet : packets) {
        const int count =
            opus_decode(decoder.get(), reinterpret_cast<const unsigned char *>(packet.constData()),
                        packet.size(), pcm.data(), pcm.size(), 0);
        std::copy(pcm.cbegin(), pcm.cbegin() + std::max(count, 0), std::back_inserter(decoded));
    }
    return decoded;
}

double worstBlockErrorDb(const QVector<float> &copy, const QVector<float> &original)
{
    double worst = -1000;
    int offset = 0;
    for (int first = 960; first + 960 <= original.size(); first += 960) {
        const double energy = std::max(totalEnergy(original.mid(first, 960)), 1.0);
        double best = 1e300;
        int bestLag = offset;
        const auto search = [&](int from, int to) {
            for (int lag = from; lag <= to && best > 1e-3 * energy; ++lag) {
                double error = 0;
                for (int i = first; i < first + 960; ++i) {
                    const double other = i + lag >= 0 && i + lag < copy.size() ? copy[i + lag] : 0;
                    error += (other - original[i]) * (other - original[i]);
                }
                if (error < best) {
                    best = error;
                    bestLag = lag;
                }
            }
        };
        if (first == 960) {
            search(-960, 9600); // a head trimmed, or silence before the stream
        } else {
            search(offset - 4, offset + 4);
        }
        if (best > 1e-2 * energy) {
            // Made-up audio in between (a busy machine's stall) moves the rest further on.
            search(offset, offset + 9600);
        }
        offset = bestLag;
        worst = std::max(worst, 10 * std::log10(std::max(best, 1e-9) / energy));
    }
    return worst;
}

QVector<float> wavSamples(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
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
        qWarning("%s is not a complete 48 kHz mono 16-bit WAV file", qPrintable(path));
        return {};
    }
    return samples16(bytes.mid(44));
}

} // namespace Signal
