#include "OpusPacket.h"

#include <opus.h>

namespace player
{

int playableSamples(const QByteArray &datagram)
{
    if (datagram.isEmpty() || datagram.size() > kMaxPacketBytes) {
        return 0;
    }
    const auto *data = reinterpret_cast<const unsigned char *>(datagram.constData());
    // The sender encodes one channel, one frame per packet.
    if (opus_packet_get_nb_channels(data) != 1 ||
        opus_packet_get_nb_frames(data, datagram.size()) != 1) {
        return 0;
    }
    const int samples = opus_packet_get_nb_samples(data, datagram.size(), kSampleRate);
    if (samples != 240 && samples != 480 && samples != 960) {
        return 0;
    }
    // Parsing the whole packet catches lengths that do not add up, which the header alone
    // does not show.
    const unsigned char *frames[48];
    opus_int16 sizes[48];
    unsigned char toc = 0;
    return opus_packet_parse(data, datagram.size(), &toc, frames, sizes, nullptr) == 1 ? samples
                                                                                       : 0;
}

int codingOf(const QByteArray &packet)
{
    const auto *data = reinterpret_cast<const unsigned char *>(packet.constData());
    const int configuration = data[0] >> 3;
    const int mode = configuration < 12 ? 0 : configuration < 16 ? 1 : 2;
    return mode * 16 + opus_packet_get_bandwidth(data) - OPUS_BANDWIDTH_NARROWBAND;
}

} // namespace player
