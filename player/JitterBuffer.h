#ifndef PLAYER_JITTERBUFFER_H
#define PLAYER_JITTERBUFFER_H

#include <QByteArray>
#include <QVector>

#include <deque>

struct OpusDecoder;

namespace player
{

// Holds the received packets of one stream and hands out decoded 48 kHz mono audio as the
// sound card asks for it. It waits until the target latency is buffered, then holds the level
// the buffer sinks to between arrivals (its floor, taken in the first quarter second of
// playing and kept between half the target and the target): when the floor sinks (lost
// packets, a sender whose clock is slower than ours) it makes up 10 ms blocks with the
// decoder's concealment in front of the next packet that arrives; when it rises (a faster
// sender) it drops packets. When the buffer runs dry it conceals too, and after 200 ms of
// that takes the stream as ended.
class JitterBuffer
{
public:
    struct Stats {
        qint64 packets = 0;
        qint64 lost = 0;      // empty datagrams: frames the sender lost
        qint64 concealed = 0; // 10 ms blocks made up by the decoder, lost frames included
        qint64 dropped = 0;   // packets skipped to keep the latency down
        qint64 decodeErrors = 0;
        // From a packet's arrival to its first sample being handed out, in ms.
        double lastDelayMs = 0;
        double delaySumMs = 0;
        qint64 delayCount = 0;
    };

    explicit JitterBuffer(int targetMs = 60);
    ~JitterBuffer();
    JitterBuffer(const JitterBuffer &) = delete;
    JitterBuffer &operator=(const JitterBuffer &) = delete;

    // A packet of samples 48 kHz samples, arrived at arrivalMs (any monotonic clock, or -1);
    // an empty packet marks a lost frame.
    void push(const QByteArray &packet, int samples, qint64 arrivalMs = -1);
    // Fills out with count samples: audio and concealment while a stream plays, silence
    // otherwise. Returns how many leading samples belong to the stream. nowMs is on the clock
    // of push's arrival times.
    int pull(qint16 *out, int count, qint64 nowMs = -1);
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
        qint64 arrivalMs;
        bool inserted; // concealment to raise the level, not a packet
    };

    int bufferedSamples() const;
    bool decodeNext(qint64 nowMs, int alreadyOut);
    void conceal(int samples);
    void stopPlaying();
    void holdLevel(int pulled);

    int target;
    int targetSamples;
    int toleranceSamples;
    int highWaterSamples;
    OpusDecoder *decoder = nullptr;
    std::deque<Packet> packets;
    int queuedSamples = 0;
    QVector<qint16> decoded;
    int decodedPos = 0;
    bool playing = false;
    int concealedInARow = 0;
    int pendingConcealSamples = 0;
    int floorSamples = -1;
    int windowPulled = 0;
    int windowMin = 0;
    Stats counters;
};

} // namespace player

#endif // PLAYER_JITTERBUFFER_H
