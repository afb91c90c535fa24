#include "StreamProbe.h"

#include "OpusPacket.h"

#include <opus.h>

#include <memory>

namespace player
{

namespace
{
constexpr int kProofSamples = kSampleRate / 10;
constexpr int kProofPackets = 4;
// A burst of the sender's sound server may bring this much audio ahead of time, no more.
constexpr qint64 kAheadMs = 60;
// Slower than this behind real time is no stream either; the probe starts over.
constexpr qint64 kBehindMs = 500;
// Sources probed at once; a new one pushes the oldest out.
constexpr int kMaxCandidates = 4;
} // namespace

StreamProbe::Result StreamProbe::add(const QHostAddress &source, const QByteArray &packet,
                                     int samples, qint64 nowMs)
{
    int index = 0;
    while (index < candidates.size() && candidates.at(index).source != source) {
        ++index;
    }
    if (index == candidates.size()) {
        if (candidates.size() == kMaxCandidates) {
            reject(0);
            --index;
        }
        candidates.append({source, nowMs, codingOf(packet), 0, {}});
    }
    Candidate &candidate = candidates[index];
    const qint64 elapsedMs = nowMs - candidate.firstMs;
    if (elapsedMs > candidate.samples / 48 + kBehindMs) {
        reject(index);
        return add(source, packet, samples, nowMs);
    }
    candidate.packets.append({packet, samples, nowMs});
    candidate.samples += samples;
    if (codingOf(packet) != candidate.coding || candidate.samples / 48 > elapsedMs + kAheadMs) {
        reject(index);
        return Result::NotAStream;
    }
    if (candidate.samples < kProofSamples || candidate.packets.size() < kProofPackets) {
        return Result::Undecided;
    }
    if (!decodes(candidate.packets)) {
        reject(index);
        return Result::NotAStream;
    }
    return Result::Stream;
}

bool StreamProbe::decodes(const QList<Packet> &packets)
{
    int error = OPUS_OK;
    const std::unique_ptr<OpusDecoder, void (*)(OpusDecoder *)> decoder(
        opus_decoder_create(kSampleRate, 1, &error), opus_decoder_destroy);
    opus_int16 pcm[960];
    for (const Packet &packet : packets) {
        if (!decoder ||
            opus_decode(decoder.get(),
                        reinterpret_cast<const unsigned char *>(packet.data.constData()),
                        packet.data.size(), pcm, 960, 0) != packet.samples) {
            return false;
        }
    }
    return true;
}

void StreamProbe::reject(int index)
{
    rejectedCount += candidates.at(index).packets.size();
    candidates.removeAt(index);
}

QList<StreamProbe::Packet> StreamProbe::take(const QHostAddress &source, int *others)
{
    QList<Packet> packets;
    for (const Candidate &candidate : qAsConst(candidates)) {
        if (candidate.source == source) {
            packets = candidate.packets;
        }
    }
    *others = pending() - packets.size();
    candidates.clear();
    return packets;
}

int StreamProbe::pending() const
{
    int count = 0;
    for (const Candidate &candidate : candidates) {
        count += candidate.packets.size();
    }
    return count;
}

} // namespace player
