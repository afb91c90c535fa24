#include "JitterBuffer.h"

#include "OpusPacket.h"

#include <opus.h>

#include <algorithm>
#include <cstring>

namespace player
{

namespace
{
constexpr int kConcealSamples = 480; // 10 ms
// After this much made-up audio the sender is taken as gone: silence, then a fresh fill.
constexpr int kMaxConcealedInARow = 20;
constexpr int kMaxPacketSamples = 960;
} // namespace

JitterBuffer::JitterBuffer(int targetMs)
    : target(std::clamp(targetMs, 10, 2000))
    , highWaterSamples(target * kSampleRate / 1000 + std::max(40, target / 2) * kSampleRate / 1000)
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
    decoded.clear();
    decodedPos = 0;
    playing = false;
    concealedInARow = 0;
    if (decoder) {
        opus_decoder_ctl(decoder, OPUS_RESET_STATE);
    }
}

void JitterBuffer::push(const QByteArray &packet, int samples)
{
    ++counters.packets;
    if (packet.isEmpty()) {
        ++counters.lost;
        samples = kMaxPacketSamples;
    }
    packets.push_back({packet, samples});
    queuedSamples += samples;
    // Too much waiting: the oldest packets go, so that the delay stays near the target.
    while (queuedSamples + decoded.size() - decodedPos > highWaterSamples && packets.size() > 1) {
        queuedSamples -= packets.front().samples;
        packets.pop_front();
        ++counters.dropped;
    }
    if (!playing && queuedSamples >= target * kSampleRate / 1000) {
        playing = true;
    }
}

double JitterBuffer::bufferedMs() const
{
    return (queuedSamples + decoded.size() - decodedPos) * 1000.0 / kSampleRate;
}

bool JitterBuffer::decodeNext()
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
        ++counters.decodeErrors;
        count = packet.samples;
        std::fill(decoded.begin(), decoded.begin() + count, qint16(0));
    }
    decoded.resize(count);
    decodedPos = 0;
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

void JitterBuffer::pull(qint16 *out, int count)
{
    int written = 0;
    while (written < count) {
        if (decodedPos >= decoded.size()) {
            if (!playing) {
                std::fill(out + written, out + count, qint16(0));
                return;
            }
            if (decodeNext()) {
                concealedInARow = 0;
            } else if (concealedInARow < kMaxConcealedInARow) {
                conceal(kConcealSamples);
                ++concealedInARow;
            } else {
                // The sender has gone quiet: wait for the buffer to fill again.
                playing = false;
                decoded.clear();
                decodedPos = 0;
                continue;
            }
        }
        const int n = std::min(count - written, int(decoded.size()) - decodedPos);
        std::memcpy(out + written, decoded.constData() + decodedPos, size_t(n) * sizeof(qint16));
        decodedPos += n;
        written += n;
    }
}

} // namespace player
