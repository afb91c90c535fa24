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

// Energy of the component at frequency (Goertzel), exact over whole periods; the whole energy;
// the amplitude of the sine at frequency.
double toneEnergy(const QVector<float> &samples, double frequency);
double totalEnergy(const QVector<float> &samples);
double toneAmplitude(const QVector<float> &samples, double frequency);
// Energy at the frequencies against everything else, in dB, over whole tenths of a second.
double snrDb(const QVector<float> &samples, const QVector<double> &frequencies);
// The best snrDb over any second (a busy machine may glitch elsewhere); first gets its start.
double bestSecondSnrDb(const QVector<float> &samples, const QVector<double> &frequencies,
                       int *first = nullptr);

// Opus packets of a 440 Hz tone at amplitude 9000 with a slow vibrato (every frame differs), in
// frames of the sizes in frameSamples, in turn.
QList<QByteArray> opusTone(int frames, const QVector<int> &frameSamples = {960});
QVector<float> decodeAll(const QList<QByteArray> &packets);

// How far copy strays from original, per 20 ms block, following a slow drift of the time base
// (a rate correction) and audio made up in between: the worst block's error against its
// energy, in dB. A block missing from copy, or changed, shows. The first block is not judged:
// a stream's start may trim its head.
double worstBlockErrorDb(const QVector<float> &copy, const QVector<float> &original);

// The samples of a complete (sizes written) 48 kHz mono 16-bit WAV file; else none, warned.
QVector<float> wavSamples(const QString &path);

} // namespace Signal

#endif // SIGNAL_H
