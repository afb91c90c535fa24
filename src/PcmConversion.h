#ifndef PCMCONVERSION_H
#define PCMCONVERSION_H

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

// Sample-level helpers of the capture path: everything is converted to 16-bit signed samples
// in the machine's byte order before it is reduced, scaled and encoded.
namespace Pcm
{

// 16-bit signed little-endian PCM: the capture format, and what everything is converted to.
QAudioFormat signed16Format(int sampleRate, int channelCount);

// Whether toSigned16 can read samples of this format.
bool canConvert(const QAudioFormat &format);

// A readable description of a format, for log lines.
QString describe(const QAudioFormat &format);

// Converts whole samples of format to 16-bit signed samples; a trailing partial sample is
// dropped. Returns an empty array when the format cannot be converted.
QByteArray toSigned16(const char *data, qint64 length, const QAudioFormat &format);

// Keeps the first channel of interleaved 16-bit frames; a trailing partial frame is dropped.
QByteArray firstChannel(const QByteArray &samples, int channelCount);

// Scales 16-bit samples by gain (0.0 to 1.0), saturating; 1.0 leaves them untouched.
void applyGain(QByteArray &samples, qreal gain);

// The largest absolute sample value, 0 to 32767.
quint16 peakLevel(const QByteArray &samples);

} // namespace Pcm

#endif // PCMCONVERSION_H
