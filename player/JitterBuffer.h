#ifndef PLAYER_JITTERBUFFER_H
#define PLAYER_JITTERBUFFER_H

#include <QByteArray>
#include <QVector>

#include <deque>

struct OpusDecoder;

namespace player
{

// Holds the received packets of one stream and hands out decoded 48 kHz mono audio as the
// sound card asks for it, keeping about the target latency buffered: it waits until the target
// is reached, conceals what is missing when the buffer runs dry, and drops a packet when more
// than the target plus a margin has piled up (the sender's clock runs faster than ours).
class JitterBuffer
{
public:
    struct Stats {
        qint64 packets = 0;
        qint64 lost = 0;      // empty datagrams: frames the sender lost
        qint64 concealed = 0; // 10 ms blocks made up by the decoder
        qint64 dropped = 0;   // packets skipped to keep the latency down
        qint64 decodeErrors = 0;
    };

    explicit JitterBuffer(int targetMs = 60);
    ~JitterBuffer();
    JitterBuffer(const JitterBuffer &) = delete;
    JitterBuffer &operator=(const JitterBuffer &) = delete;

    // A packet of samples 48 kHz samples; an empty packet marks a lost frame.
    void push(const QByteArray &packet, int samples);
    // Fills out with count samples: audio, concealment, or silence while idle.
    void pull(qint16 *out, int count);
    // Forgets the stream: the next packet starts a new one.
    void reset();

    // Buffered audio in ms, packets and decoded remainder together.
    double bufferedMs() const;
    bool isPlaying() const { return playing; }
    int targetMs() const { return target; }
    const Stats &stats() const { return counters; }

private:
    struct Packet {
        QByteArray data;
        int samples;
    };

    bool decodeNext();
    void conceal(int samples);

    int target;
    int highWaterSamples;
    OpusDecoder *decoder = nullptr;
    std::deque<Packet> packets;
    int queuedSamples = 0;
    QVector<qint16> decoded;
    int decodedPos = 0;
    bool playing = false;
    int concealedInARow = 0;
    Stats counters;
};

} // namespace player

#endif // PLAYER_JITTERBUFFER_H
