#include "JitterBuffer.h"

#include "OpusPacket.h"

#include <opus.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace player
{

namespace
{
constexpr int kConcealSamples = kSampleRate / 100; // 10 ms
// After this much made-up audio the sender is taken as gone: silence, then a fresh fill.
constexpr int kMaxConcealedInARow = 20;
constexpr int kMaxPacketSamples = kSampleRate / 50;
// The level is judged on its lowest point over this much played audio: long enough to see
// several of the sender's bursts, short enough to follow losses.
constexpr int kWindowSamples = kSampleRate / 4;
// At most this much is made up per window, so that a long gap is not answered by a long
// stretch of concealment once packets flow again.
constexpr int kMaxInsertSamples = 4 * kConcealSamples;

int samplesOfMs(int ms)
{
    return ms * kSampleRate / 1000;
}
} // namespace

JitterBuffer::JitterBuffer(int targetMs)
    : target(std::clamp(targetMs, 10, 2000))
    , targetSamples(samplesOfMs(target))
    , toleranceSamples(samplesOfMs(std::max(10, target / 4)))
    , highWaterSamples(targetSamples + samplesOfMs(std::max(100, target)))
{
    int error = OPUS_OK;
    decoder = opus_decoder_create(kSampleRate, 1, &error);
    if (error != OPUS_OK) {
        decoder = nullptr;
    }
}

JitterBuffer::~JitterBuffer()
{
    if (decoder) {
        opus_decoder_destroy(decoder);
    }
}

void JitterBuffer::reset()
{
    packets.clear();
    queuedSamples = 0;
    stopPlaying();
    if (decoder) {
        opus_decoder_ctl(decoder, OPUS_RESET_STATE);
    }
}

void JitterBuffer::stopPlaying()
{
    playing = false;
    decoded.clear();
    decodedPos = 0;
    concealedInARow = 0;
    pendingConcealSamples = 0;
    floorSamples = -1;
    windowPulled = 0;
}

void JitterBuffer::push(const QByteArray &packet, int samples, qint64 arrivalMs)
{
    ++counters.packets;
    if (packet.isEmpty()) {
        ++counters.lost;
        samples = kMaxPacketSamples;
    }
    // Audio made up for a sinking level goes in before the packet that has just arrived: that
    // is where the missing audio should have been, and a stream that has ended gets none.
    if (pendingConcealSamples > 0 && playing) {
        packets.push_back({QByteArray(), pendingConcealSamples, -1, true});
        queuedSamples += pendingConcealSamples;
        pendingConcealSamples = 0;
    }
    packets.push_back({packet, samples, arrivalMs, false});
    queuedSamples += samples;
    // A flood (or a burst far beyond the target) never piles up: the oldest packets go.
    while (bufferedSamples() > highWaterSamples && packets.size() > 1) {
        queuedSamples -= packets.front().samples;
        packets.pop_front();
        ++counters.dropped;
    }
    if (!playing && queuedSamples >= targetSamples) {
        playing = true;
        windowPulled = 0;
        windowMin = std::numeric_limits<int>::max();
    }
}

int JitterBuffer::bufferedSamples() const
{
    return queuedSamples + decoded.size() - decodedPos;
}

double JitterBuffer::bufferedMs() const
{
    return bufferedSamples() * 1000.0 / kSampleRate;
}

bool JitterBuffer::decodeNext(qint64 nowMs, int alreadyOut)
{
    if (packets.empty()) {
        return false;
    }
    const Packet packet = packets.front();
    packets.pop_front();
    queuedSamples -= packet.samples;
    decoded.resize(kMaxPacketSamples * 6);
    int count = 0;
    if (decoder) {
        count = packet.data.isEmpty()
                    ? opus_decode(decoder, nullptr, 0, decoded.data(), packet.samples, 0)
                    : opus_decode(decoder,
                                  reinterpret_cast<const unsigned char *>(packet.data.constData()),
                                  packet.data.size(), decoded.data(), decoded.size(), 0);
    }
    if (count < 0 || !decoder) {
        counters.decodeErrors += packet.inserted ? 0 : 1;
        count = packet.samples;
        std::fill(decoded.begin(), decoded.begin() + count, qint16(0));
    }
    // Made-up audio, whether to raise the level or for a frame the sender reported lost.
    if (packet.data.isEmpty()) {
        counters.concealed += packet.samples / kConcealSamples;
    }
    decoded.resize(count);
    decodedPos = 0;
    if (packet.arrivalMs >= 0 && nowMs >= 0) {
        counters.lastDelayMs = double(nowMs - packet.arrivalMs) + alreadyOut * 1000.0 / kSampleRate;
        counters.delaySumMs += counters.lastDelayMs;
        ++counters.delayCount;
    }
    return true;
}

void JitterBuffer::conceal(int samples)
{
    decoded.resize(samples);
    decodedPos = 0;
    const int count = decoder ? opus_decode(decoder, nullptr, 0, decoded.data(), samples, 0) : -1;
    if (count != samples) {
        std::fill(decoded.begin(), decoded.end(), qint16(0));
    }
    ++counters.concealed;
}

void JitterBuffer::holdLevel(int pulled)
{
    windowMin = std::min(windowMin, bufferedSamples());
    windowPulled += pulled;
    if (windowPulled < kWindowSamples) {
        return;
    }
    if (floorSamples < 0) {
        floorSamples = std::clamp(windowMin, targetSamples / 2, targetSamples);
    }
    if (windowMin + toleranceSamples <= floorSamples) {
        const int missing = floorSamples - windowMin;
        const int blocks = (missing + kConcealSamples - 1) / kConcealSamples;
        pendingConcealSamples = std::min(blocks * kConcealSamples, kMaxInsertSamples);
    } else if (windowMin >= floorSamples + 2 * toleranceSamples) {
        int excess = windowMin - floorSamples;
        while (packets.size() > 1 && packets.front().samples <= excess - toleranceSamples / 2) {
            excess -= packets.front().samples;
            queuedSamples -= packets.front().samples;
            packets.pop_front();
            ++counters.dropped;
        }
    }
    windowPulled = 0;
    windowMin = std::numeric_limits<int>::max();
}

int JitterBuffer::pull(qint16 *out, int count, qint64 nowMs)
{
    int written = 0;
    while (written < count) {
        if (decodedPos >= decoded.size()) {
            if (!playing) {
                std::fill(out + written, out + count, qint16(0));
                return written;
            }
            if (decodeNext(nowMs, written)) {
                concealedInARow = 0;
            } else if (concealedInARow < kMaxConcealedInARow) {
                conceal(kConcealSamples);
                ++concealedInARow;
            } else {
                // The sender has gone quiet: wait for the buffer to fill again.
                stopPlaying();
                continue;
            }
        }
        const int n = std::min(count - written, int(decoded.size()) - decodedPos);
        std::memcpy(out + written, decoded.constData() + decodedPos, size_t(n) * sizeof(qint16));
        decodedPos += n;
        written += n;
    }
    if (playing) {
        holdLevel(count);
    }
    return written;
}

} // namespace player
