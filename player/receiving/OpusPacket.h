#ifndef PLAYER_OPUSPACKET_H
#define PLAYER_OPUSPACKET_H

#include <QByteArray>

namespace player
{

constexpr int kSampleRate = 48000;
// The largest Opus packet the sender makes is a few hundred bytes; 1275 bytes per frame is
// the codec's own limit.
constexpr int kMaxPacketBytes = 1275;

// The number of 48 kHz samples a datagram carries when it is one mono Opus frame of 5, 10 or
// 20 ms, as the sender makes them; 0 for anything else.
int playableSamples(const QByteArray &datagram);
// The coding mode and bandwidth a packet was made with: a stream keeps them for a while, random
// bytes do not.
int codingOf(const QByteArray &packet);

} // namespace player

#endif // PLAYER_OPUSPACKET_H
