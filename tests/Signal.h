#ifndef SIGNAL_H
#define SIGNAL_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

#include <cstdint>

struct OpusDecoder;

// Test signals and their analysis.
namespace Signal
{

// Interleaved 16-bit samples; channel c carries a sine of frequencies[c] at amplitude.
QByteArray sine16(int sampleRate, int frames, const QVector<double> &frequencies, double amplitude);

// Energy of the component at frequency over samples (Goertzel); exact when the window holds
// whole periods.
double toneEnergy(const QVector<float> &samples, int sampleRate, double frequency);
double totalEnergy(const QVector<float> &samples);
// Energy at frequency against everything else, in dB.
double signalToNoiseDb(const QVector<float> &samples, int sampleRate, double frequency);

// Opus packets of one 48 kHz mono stream of a 440 Hz tone at amplitude 9000 with a slow
// vibrato (so every frame differs), in frames of the sizes in frameSamples, in turn.
QList<QByteArray> opusTone(int frames, const QVector<int> &frameSamples = {960});

// The samples of a complete 48 kHz mono 16-bit WAV file; empty, with problem set, for anything
// else (a header whose sizes do not match the file is not complete).
QVector<float> wavSamples(const QString &path, QString *problem);

// Decodes Opus packets of one 48 kHz mono stream into one signal.
class OpusStream
{
public:
    OpusStream();
    ~OpusStream();
    OpusStream(const OpusStream &) = delete;
    OpusStream &operator=(const OpusStream &) = delete;

    // Decodes packet and returns its sample count, or a negative Opus error.
    int decode(const QByteArray &packet);
    const QVector<float> &samples() const { return decoded; }

private:
    ::OpusDecoder *decoder = nullptr;
    QVector<float> decoded;
};

} // namespace Signal

#endif // SIGNAL_H
