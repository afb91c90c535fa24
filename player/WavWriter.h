#ifndef PLAYER_WAVWRITER_H
#define PLAYER_WAVWRITER_H

#include <QFile>
#include <QString>

namespace player
{

// Writes 16-bit mono PCM to a WAV file. The header's sizes are brought up to date every
// second of audio and on close, so the file stays readable however the program ends.
class WavWriter
{
public:
    explicit WavWriter(int sampleRate);
    ~WavWriter();
    WavWriter(const WavWriter &) = delete;
    WavWriter &operator=(const WavWriter &) = delete;

    // Creates or truncates the file; false with errorString() when it cannot be written.
    bool open(const QString &path);
    // Appends samples; false once the file cannot take more (write error or the format's
    // 4 GiB limit), with errorString().
    bool write(const qint16 *samples, int count);
    void close();
    bool isOpen() const { return file.isOpen(); }
    qint64 samplesWritten() const { return dataBytes / 2; }
    QString errorString() const { return error; }

private:
    bool updateHeader();

    int rate;
    QFile file;
    qint64 dataBytes = 0;
    qint64 bytesSinceHeader = 0;
    QString error;
};

} // namespace player

#endif // PLAYER_WAVWRITER_H
