#include "JitterBuffer.h"

#include <opus.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace player
{

namespace
{
constexpr int kConcealSamples = 480; // 10 ms
// After this much made-up audio the sender is taken as gone.
constexpr int kMaxConcealedInARow = 20;
// What an empty datagram (a frame the sender lost) stands for.
constexpr int kLostFrameSamples = 960;
constexpr int kLargestPacketSamples = 5760;
// Above the target by this much (or by the target, if larger) the oldest packets go: a flood,
// or an output that stopped taking audio.
constexpr int kHardCapMarginSamples = 48000 / 5;
// Arrivals are judged against this much of the stream before them.
constexpr qint64 kLatenessWindowSamples = 48000 / 2;
// Arrival times are read when the player gets to them, up to a sound card's pull (10 ms) late: a
// packet is late only by more than that.
constexpr qint64 kLateSamples = 48000 * 15 / 1000;
// A stream starts once its packets have come in for this long: long enough to see the gap
// between a sender's bursts, which the start must hold on top of the target.
constexpr qint64 kStartWatchSamples = 48000 / 10;
// More than this lost at once is left to the buffer running dry.
constexpr qint64 kMaxLostSamples = 48000 / 10;
// Enough for music at a ratio near 1, at a small fraction of the decoder's cost.
constexpr int kResamplerQuality = 3;
// The rate moves in steps of 20 ppm: speexdsp fails on larger denominators.
constexpr int kRatioDenominator = 50000;
constexpr int kPpmPerStep = 1000000 / kRatioDenominator;

OpusDecoder *makeDecoder()
{
    int error = OPUS_OK;
    OpusDecoder *decoder = opus_decoder_create(48000, 1, &error);
    return error == OPUS_OK ? decoder : nullptr;
}

SpeexResamplerState *makeResampler()
{
    int error = RESAMPLER_ERR_SUCCESS;
    SpeexResamplerState *state = speex_resampler_init(1, 48000, 48000, kResamplerQuality, &error);
    if (state && error == RESAMPLER_ERR_SUCCESS) {
        // The output starts with the input, not with the filter's delay.
        speex_resampler_skip_zeros(state);
        return state;
    }
    return nullptr;
}
} // namespace

JitterBuffer::JitterBuffer(int fixedTargetMs)
    : level(fixedTargetMs)
    , decoder(makeDecoder(), opus_decoder_destroy)
    , resampler(makeResampler(), speex_resampler_destroy)
{
}

JitterBuffer::~JitterBuffer() = default;

void JitterBuffer::reset()
{
    packets.clear();
    queuedSamples = 0;
    stopPlaying();
}

void JitterBuffer::stopPlaying()
{
    playing = false;
    pulledSinceStart = false;
    startTrim = 0;
    firstArrival = lastArrival = -1;
    largestGap = 0;
    trimAfterGap = false;
    pendingConcealSamples = 0;
    lateness.clear();
    decoded.clear();
    ready.clear();
    concealedInARow = 0;
    level.restart();
    if (decoder) {
        opus_decoder_ctl(decoder.get(), OPUS_RESET_STATE);
    }
    if (resampler) {
        speex_resampler_reset_mem(resampler.get());
        speex_resampler_skip_zeros(resampler.get());
    }
    applyCorrection();
}

int JitterBuffer::bufferedSamples() const
{
    return queuedSamples - startTrim + decoded.size() + ready.size();
}

double JitterBuffer::bufferedMs() const
{
    return bufferedSamples() * 1000.0 / kSampleRate;
}

void JitterBuffer::skipToTarget()
{
    trimAfterGap = playing;
    gapArrival = -1;
}

void JitterBuffer::trimTo(int samples)
{
    startTrim = 0;
    while (packets.size() > 1 && bufferedSamples() - packets.front().samples >= samples) {
        queuedSamples -= packets.front().samples;
        packets.pop_front();
        ++counters.skipped;
    }
    // What is left over (less than a packet) comes off the oldest packet's head.
    if (!packets.empty()) {
        startTrim = std::clamp(bufferedSamples() - samples, 0, packets.front().samples - 1);
    }
}

void JitterBuffer::push(const QByteArray &packet, int samples, qint64 arrivalMs)
{
    ++counters.packets;
    if (packet.isEmpty()) {
        ++counters.lost;
        samples = kLostFrameSamples;
    }
    // What the floor showed missing goes in front of the packet that has just arrived: that is
    // where it should have been, and a stream that has ended gets none.
    if (pendingConcealSamples > 0 && playing) {
        packets.push_back({QByteArray(), pendingConcealSamples, -1, mediaSamples});
        queuedSamples += pendingConcealSamples;
        mediaSamples += pendingConcealSamples;
    }
    pendingConcealSamples = 0;
    const qint64 arrival = arrivalMs < 0 ? -1 : arrivalMs * kSampleRate / 1000;
    if (!playing && packets.empty() && arrival >= 0 && lastPushArrival >= 0) {
        // A stream after a pause goes on from the last one's place by the time between them:
        // the calls' timestamps (these places) keep in step with the clock, and a browser does
        // not take the pause for packets that came late and hold that much more from then on.
        mediaSamples = std::max(mediaSamples, lastPushEnd + (arrival - lastPushArrival) - samples);
    }
    packets.push_back({packet, samples, arrival, mediaSamples});
    if (packetTap && !packet.isEmpty()) {
        packetTap(packet, mediaSamples);
    }
    mediaSamples += samples;
    if (arrival >= 0) {
        lastPushArrival = arrival;
        lastPushEnd = mediaSamples;
    }
    queuedSamples += samples;
    const int target = level.targetSamples();
    if (!playing || !pulledSinceStart) {
        // A stream starts with the target and the largest gap between arrivals in hand (at
        // least this packet), so that its floor, just before a burst comes, is the target; what
        // came before that is too old to start with (a backlog, or a sound card that was not
        // taking audio yet). Started lower, the first gaps would run it dry, and the target
        // they grow would then be reached only by the rate, held at its limit for many seconds.
        if (arrival >= 0 && lastArrival >= 0) {
            // (Whole blocks: arrivals are read up to a pull late.)
            largestGap =
                int(std::clamp<qint64>(arrival - lastArrival, largestGap, kHardCapMarginSamples) /
                    kConcealSamples * kConcealSamples);
        }
        firstArrival = firstArrival < 0 ? arrival : firstArrival;
        lastArrival = arrival;
        const bool watched = arrival < 0 || arrival - firstArrival >= kStartWatchSamples;
        const int start = target + std::max(samples, largestGap);
        trimTo(start);
        playing = playing || (watched && bufferedSamples() >= start);
        // No more than that either: what a burst left over (less than a packet) comes off the
        // oldest packet's head, else it would be delay held until the rate had played it away.
        if (!playing) {
            startTrim = 0;
        }
        return;
    }
    if (trimAfterGap) {
        // Packets the stall held back come in together: the level after them all is the one a
        // stream starts with.
        gapArrival = gapArrival < 0 ? arrival : gapArrival;
        if (arrival >= 0 && arrival - gapArrival > kSampleRate / 500) {
            trimAfterGap = false;
        } else {
            trimTo(target + std::max(samples, largestGap));
            level.restart();
            return;
        }
    }
    const int cap = target + std::max(target, kHardCapMarginSamples);
    while (bufferedSamples() > cap && packets.size() > 1) {
        queuedSamples -= packets.front().samples;
        packets.pop_front();
        ++counters.dropped;
    }
}

void JitterBuffer::conceal(int samples)
{
    const int at = decoded.size();
    decoded.resize(at + samples);
    if (!decoder ||
        opus_decode(decoder.get(), nullptr, 0, decoded.data() + at, samples, 0) != samples) {
        std::fill(decoded.begin() + at, decoded.end(), qint16(0));
    }
    counters.concealed += samples / kConcealSamples;
}

void JitterBuffer::concealWhatWasLost()
{
    // A packet that comes later against the stream than any of the last half second, followed
    // by one that keeps to the pace of audio after it and is as late: the stream has moved on
    // without the audio between, which was lost. Its place is here, in front of this packet.
    // (Late audio that catches up arrives all at once, and a sender's bursts stay within the
    // half second's pattern.)
    const Packet &packet = packets.front();
    if (packet.arrival < 0 || lateness.empty() ||
        lateness.back().first - lateness.front().first < kLatenessWindowSamples / 5) {
        return;
    }
    qint64 usual = lateness.front().second;
    for (const auto &seen : lateness) {
        usual = std::max(usual, seen.second);
    }
    const qint64 late = packet.arrival - packet.media - usual;
    for (auto next = packets.cbegin() + 1; late >= kLateSamples && next != packets.cend(); ++next) {
        if (next->arrival - packet.arrival >= next->media - packet.media - kConcealSamples) {
            const qint64 shift = std::min(late, next->arrival - next->media - usual);
            // To the nearest block: arrival times carry a few ms of jitter.
            const int missing =
                int(std::min<qint64>(shift + kConcealSamples / 2, kMaxLostSamples)) /
                kConcealSamples * kConcealSamples;
            if (missing > 0) {
                conceal(missing);
                for (Packet &queued : packets) {
                    queued.media += missing;
                }
                mediaSamples += missing;
            }
            return;
        }
    }
}

void JitterBuffer::decodeNext()
{
    concealWhatWasLost();
    const Packet packet = packets.front();
    packets.pop_front();
    queuedSamples -= packet.samples;
    if (packet.arrival >= 0) {
        lateness.emplace_back(packet.media, packet.arrival - packet.media);
        while (lateness.front().first < packet.media - kLatenessWindowSamples) {
            lateness.pop_front();
        }
    }
    if (packet.data.isEmpty()) {
        conceal(packet.samples);
        return;
    }
    const int at = decoded.size();
    decoded.resize(at + kLargestPacketSamples);
    const int count =
        decoder ? opus_decode(decoder.get(),
                              reinterpret_cast<const unsigned char *>(packet.data.constData()),
                              packet.data.size(), decoded.data() + at, kLargestPacketSamples, 0)
                : -1;
    decoded.resize(at + std::max(count, 0));
    if (count != packet.samples) {
        // Passed the checks but not the decoder: made up, and counted against its sender.
        ++counters.decodeErrors;
        decoded.resize(at);
        conceal(packet.samples);
    }
}

void JitterBuffer::produce(int count)
{
    while (playing && ready.size() < count) {
        if (decoded.isEmpty()) {
            if (!packets.empty()) {
                if (concealedInARow > 0) {
                    level.refilled(bufferedSamples());
                    concealedInARow = 0;
                }
                decodeNext();
                decoded.remove(0, std::min(std::exchange(startTrim, 0), int(decoded.size())));
            } else if (concealedInARow < kMaxConcealedInARow) {
                conceal(kConcealSamples);
                ++concealedInARow;
                level.ranDry(concealedInARow * kConcealSamples);
            } else {
                // The sender has gone quiet: the stream has ended.
                const QVector<qint16> tail = ready;
                stopPlaying();
                ready = tail;
                return;
            }
        }
        spx_uint32_t in = spx_uint32_t(decoded.size());
        spx_uint32_t out = in + in / 64 + 64;
        const int at = ready.size();
        ready.resize(at + int(out));
        if (!resampler ||
            speex_resampler_process_int(resampler.get(), 0, decoded.constData(), &in,
                                        ready.data() + at, &out) != RESAMPLER_ERR_SUCCESS) {
            std::copy(decoded.cbegin(), decoded.cend(), ready.begin() + at);
            in = out = spx_uint32_t(decoded.size());
        }
        ready.resize(at + int(out));
        decoded.remove(0, int(in));
    }
}

int JitterBuffer::pull(qint16 *out, int count)
{
    const bool wasPlaying = playing;
    pulledSinceStart = playing;
    produce(count);
    const int stream = std::min(count, int(ready.size()));
    std::copy(ready.cbegin(), ready.cbegin() + stream, out);
    std::fill(out + stream, out + count, qint16(0));
    ready.remove(0, stream);
    if (playing && wasPlaying) {
        level.observe(bufferedSamples(), count);
        pendingConcealSamples += level.takeMissing();
        applyCorrection();
    }
    return stream;
}

void JitterBuffer::applyCorrection()
{
    const int steps = int(std::lround(level.correctionPpm() / kPpmPerStep));
    if (steps * kPpmPerStep == appliedPpm || !resampler) {
        return;
    }
    appliedPpm = steps * kPpmPerStep;
    speex_resampler_set_rate_frac(resampler.get(), spx_uint32_t(kRatioDenominator + steps),
                                  kRatioDenominator, kSampleRate, kSampleRate);
    counters.largestCorrectionPpm =
        std::max(counters.largestCorrectionPpm, std::abs(level.correctionPpm()));
}

} // namespace player
