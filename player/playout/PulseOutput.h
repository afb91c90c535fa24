#ifndef PLAYER_PULSEOUTPUT_H
#define PLAYER_PULSEOUTPUT_H

#include <QObject>
#include <QString>

#include <functional>

struct pa_context;
struct pa_glib_mainloop;
struct pa_stream;

namespace player
{

// Plays 48 kHz mono 16-bit audio on a PulseAudio (or PipeWire) sink directly, on this thread's
// event loop: the sound server asks for audio when its buffer needs it, so the output holds no
// more than it must and no timer of ours stands between the two. Qt's own output adds a thread
// and a polling timer, and holds its whole buffer whatever the server needs.
class PulseOutput : public QObject
{
    Q_OBJECT

public:
    using Fill = std::function<void(qint16 *samples, int count)>;

    explicit PulseOutput(Fill fill, QObject *parent = nullptr);
    ~PulseOutput() override;

    // Whether this thread's event loop can serve the sound server's connection.
    static bool isUsable();
    // Once per output: connects to the server and plays on sink (empty: the default), with
    // totalMs in the server and the sink together, asked for chunkMs at a time; false with
    // errorString() when it cannot even connect. A failure after that comes as failed().
    bool start(const QString &sink, int totalMs, int chunkMs);
    QString errorString() const { return error; }
    // Written and not yet heard, the sink's own buffer included, in ms.
    double queuedMs() const;
    // Paused (corked), the server asks for nothing and may let the device sleep. Resumed, what
    // was written before goes, and the stream starts afresh.
    void setPaused(bool pause);

signals:
    void failed(const QString &reason);
    // The server ran out of audio: this process did not answer in time.
    void underflow();

private:
    static void onContextState(pa_context *context, void *self);
    static void onStreamState(pa_stream *stream, void *self);
    static void onWrite(pa_stream *stream, size_t bytes, void *self);
    static void onUnderflow(pa_stream *stream, void *self);
    void openStream();
    void fail(const QString &what);
    void close();

    Fill fill;
    pa_glib_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    QByteArray sinkName;
    int bufferMs = 0;
    int requestMs = 0;
    bool paused = false;
    QString error;
};

} // namespace player

#endif // PLAYER_PULSEOUTPUT_H
