#ifndef PLAYER_JITTERBUFFER_H
#define PLAYER_JITTERBUFFER_H

#include "LevelControl.h"

#include <QByteArray>
#include <QVector>

#include <deque>
#include <functional>
#include <memory>

struct OpusDecoder;
struct SpeexResamplerState_;

namespace player
{

// Holds the received packets of one stream and hands out decoded 48 kHz mono audio as the
// sound card asks for it. A stream starts once the target is buffered; its level is then held
// by LevelControl through the playback rate (a resampler between decoder and output), so that
// the two ends' clocks may differ. When the buffer runs dry the decoder conceals what is
// missing, where it is missing; after 200 ms of that the stream has ended. Packets are dropped
// only above a hard cap, against floods.
class JitterBuffer
{
public:
    struct Stats {
        qint64 packets = 0;
        qint64 lost = 0;      // empty datagrams: frames the sender lost
        qint64 concealed = 0; // 10 ms blocks made up by the decoder, lost frames included
        qint64 dropped = 0;   // packets dropped while playing, above the hard cap
        qint64 skipped =
            0; // packets too old to start a stream with, or left at a gap in the output
        qint64 decodeErrors = 0; // packets the decoder refused (concealed instead)
        double largestCorrectionPpm = 0;
    };

    // fixedTargetMs > 0 fixes the target; 0 adapts it.
    explicit JitterBuffer(int fixedTargetMs = 0);
    ~JitterBuffer();
    JitterBuffer(const JitterBuffer &) = delete;
    JitterBuffer &operator=(const JitterBuffer &) = delete;

    // A packet of samples 48 kHz samples, arrived at arrivalMs on a steady clock (-1: unknown);
    // an empty packet marks a frame the sender lost.
    void push(const QByteArray &packet, int samples, qint64 arrivalMs = -1);
    // Fills out with count samples: audio and concealment while a stream plays, silence
    // otherwise. Returns how many leading samples belong to the stream.
    int pull(qint16 *out, int count);
    // Forgets the stream: the next packet starts a new one.
    void reset();
    // The output fell silent for a while (the machine stalled): what piled up meanwhile goes
    // with the next packets to arrive (the same stall held them back), close to the gap already
    // heard, rather than as a drop or a slow drain later.
    void skipToTarget();

    // Called with each packet as it arrives and its place in the stream as reckoned so far
    // (48 kHz samples, lost audio included): what the web page's WebRTC listeners get, at once,
    // the browser's own jitter buffer taking the place of this one.
    using PacketTap = std::function<void(const QByteArray &packet, qint64 position)>;
    void setPacketTap(PacketTap tap) { packetTap = std::move(tap); }

    // Buffered audio in ms: packets, decoded and resampled remainders.
    double bufferedMs() const;
    bool isPlaying() const { return playing; }
    int targetMs() const { return level.targetSamples() * 1000 / kSampleRate; }
    double correctionPpm() const { return level.correctionPpm(); }
    const Stats &stats() const { return counters; }

private:
    static constexpr int kSampleRate = LevelControl::kSampleRate;

    struct Packet {
        QByteArray data;
        int samples;
        qint64 arrival; // in samples; -1: unknown
        qint64 media;   // where it starts in the stream
    };

    int bufferedSamples() const;
    void decodeNext();
    void concealWhatWasLost();
    void conceal(int samples);
    void produce(int count);
    void stopPlaying();
    void applyCorrection();
    // Drops the oldest packets, and then the head of the oldest, down to this level.
    void trimTo(int samples);

    LevelControl level;
    std::unique_ptr<OpusDecoder, void (*)(OpusDecoder *)> decoder;
    std::unique_ptr<SpeexResamplerState_, void (*)(SpeexResamplerState_ *)> resampler;
    int appliedPpm = 0;
    std::deque<Packet> packets;
    int queuedSamples = 0;
    qint64 mediaSamples = 0;
    // The last packet pushed with an arrival time: when it came, and the place after it.
    qint64 lastPushArrival = -1;
    qint64 lastPushEnd = 0;
    // Arrival against stream position (both in samples) of the packets decoded lately.
    std::deque<std::pair<qint64, qint64>> lateness;
    QVector<qint16> decoded; // decoded, not yet resampled
    QVector<qint16> ready;   // resampled, not yet handed out
    bool playing = false;
    bool pulledSinceStart = false;
    int startTrim = 0; // samples off the head of the next packet decoded
    // How the stream's packets come in before it starts (in samples): the sender's bursts.
    qint64 firstArrival = -1;
    qint64 lastArrival = -1;
    int largestGap = 0;
    // After the output's gap: the arrival of the packets it held back, -1 before they come.
    bool trimAfterGap = false;
    qint64 gapArrival = -1;
    int pendingConcealSamples = 0;
    int concealedInARow = 0;
    Stats counters;
    PacketTap packetTap;
};

} // namespace player

#endif // PLAYER_JITTERBUFFER_H
