#ifndef PLAYER_WAVWRITER_H
#define PLAYER_WAVWRITER_H

#include <QString>

#include <memory>

struct sf_private_tag;

namespace player
{

// Writes 16-bit mono PCM to a WAV file with libsndfile. The header is brought up to date with
// every write, so the file stays readable however the program ends.
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
    bool isOpen() const { return file != nullptr; }
    qint64 samplesWritten() const { return dataBytes / 2; }
    QString errorString() const { return error; }

private:
    struct Closer {
        void operator()(sf_private_tag *handle) const;
    };

    int rate;
    std::unique_ptr<sf_private_tag, Closer> file;
    qint64 dataBytes = 0;
    qint64 maxDataBytes = 0;
    QString error;
};

} // namespace player

#endif // PLAYER_WAVWRITER_H
