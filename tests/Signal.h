#ifndef SIGNAL_H
#define SIGNAL_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

// Test signals and their analysis; audio analysed is 48 kHz mono.
namespace Signal
{

// Interleaved 16-bit samples; channel c carries a sine of frequencies[c] at amplitude.
QByteArray sine16(int sampleRate, int frames, const QVector<double> &frequencies, double amplitude);

// 16-bit little-endian samples as numbers.
QVector<float> samples16(const QByteArray &raw);

// Energy of the component at frequency (Goertzel); exact when the window holds whole periods.
double toneEnergy(const QVector<float> &samples, double frequency);
double totalEnergy(const QVector<float> &samples);
// The amplitude of the sine at frequency.
double toneAmplitude(const QVector<float> &samples, double frequency);
// Energy at the frequencies against everything else, in dB, over whole tenths of a second.
double snrDb(const QVector<float> &samples, const QVector<double> &frequencies);
// The best snrDb over any second of samples: a stream that carries the tones cleanly for a
// second, whatever glitches a busy machine caused elsewhere; first gets where it starts.
double bestSecondSnrDb(const QVector<float> &samples, const QVector<double> &frequencies,
                       int *first = nullptr);

// Opus packets of one 48 kHz mono stream of a 440 Hz tone at amplitude 9000 with a slow
// vibrato (so every frame differs), in frames of the sizes in frameSamples, in turn.
QList<QByteArray> opusTone(int frames, const QVector<int> &frameSamples = {960});
// Decodes Opus packets of one 48 kHz mono stream into one signal.
QVector<float> decodeAll(const QList<QByteArray> &packets);

// How far copy strays from original, 20 ms block by block, following a slow drift of the time
// base (a played stream's rate correction): the worst block's error against its energy, in dB.
double worstBlockErrorDb(const QVector<float> &copy, const QVector<float> &original);

// The samples of a complete 48 kHz mono 16-bit WAV file; none, with a warning, for anything
// else (a header whose sizes do not match the file is not complete).
QVector<float> wavSamples(const QString &path);

} // namespace Signal

#endif // SIGNAL_H
