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
    if (opus_packet_get_nb_frames(data, datagram.size()) < 1) {
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
    int payloadOffset = 0;
    unsigned char toc = 0;
    if (opus_packet_parse(data, datagram.size(), &toc, frames, sizes, &payloadOffset) < 1) {
        return 0;
    }
    return samples;
}

} // namespace player
