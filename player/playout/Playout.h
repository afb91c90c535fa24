#ifndef PLAYER_PLAYOUT_H
#define PLAYER_PLAYOUT_H

#include <QAudio>
#include <QAudioDeviceInfo>
#include <QElapsedTimer>
#include <QIODevice>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <functional>
#include <memory>

class QAudioOutput;

namespace player
{

class JitterBuffer;
class PulseOutput;

// Takes audio out of the jitter buffer at the pace of a sound card: the chosen output device
// (through the sound server's own interface where there is one, else through Qt's), or, without
// playback, a timer on the steady clock. Every block taken is handed to the audio callback (for
// the WAV file and the level meter) whether or not it is played.
class Playout : public QObject
{
    Q_OBJECT

public:
    // block holds count samples, of which the leading streamSamples belong to a stream.
    using AudioCallback = std::function<void(const qint16 *block, int count, int streamSamples)>;

    Playout(JitterBuffer &buffer, const QElapsedTimer &clock, QObject *parent = nullptr);
    ~Playout() override;

    // Called before each pull, so that datagrams waiting on the socket are in the buffer.
    void setBeforePull(std::function<void()> callback) { beforePull = std::move(callback); }
    void setAudioCallback(AudioCallback callback) { onAudio = std::move(callback); }

    // Plays on device; false with errorString() when it cannot.
    bool startPlayback(const QAudioDeviceInfo &device);
    // Takes the audio on a timer alone.
    void startClock();
    void stop();
    QString errorString() const { return error; }
    // Muted, the device plays silence; the audio callback still gets the stream.
    void setMuted(bool mute) { muted = mute; }
    // Audio written to the device and not yet played, as far as the output tells, in ms.
    double queuedMs() const;
    // How often the device ran out of audio: the sound server did not get it in time.
    int underruns() const { return underrunCount; }
    // The device is paused once nothing has played for a while, so that an idle player costs
    // nothing and the sound card may sleep; audio that arrives wakes it.
    void wake();

    // The format the player plays: 48 kHz, mono, 16-bit.
    static QAudioFormat format();

    // Fills count samples from the buffer; the playback device and the timer both end here.
    void pullInto(qint16 *samples, int count);

signals:
    // The device stopped with an error (unplugged, the sound server gone).
    void playbackFailed(const QString &reason);
    // The device has taken its first audio (a sound server may take a moment to start).
    void outputRunning();

private:
    void onClockTick();
    void pushToDevice();
    // Fills what the device asks for: silence first, then the stream (or silence, muted).
    void fillDevice(qint16 *samples, int count);
    void outputFailed(const QString &reason);
    void onStateChanged(QAudio::State state);
    void ranDry();
    void pause();

    JitterBuffer &buffer;
    const QElapsedTimer &clock;
    std::function<void()> beforePull;
    AudioCallback onAudio;
    std::unique_ptr<QAudioOutput> output;
    std::unique_ptr<PulseOutput> pulse;
    QIODevice *device = nullptr; // owned by output
    bool gap = false;
    qint64 lastPushNs = 0;
    qint64 queuedAtPushNs = 0;
    qint64 lastDryNs = 0;
    QVector<qint16> block;
    QTimer timer;
    qint64 clockStartNs = 0;
    qint64 samplesTaken = 0;
    QString error;
    int writes = 0;
    int underrunCount = 0;
    bool failed = false;
    bool muted = false;
    bool paused = false;
    bool running = false; // outputRunning() was emitted for this device
    qint64 lastAudioNs = 0;
};

} // namespace player

#endif // PLAYER_PLAYOUT_H
