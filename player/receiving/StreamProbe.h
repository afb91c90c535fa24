#ifndef PLAYER_STREAMPROBE_H
#define PLAYER_STREAMPROBE_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>

namespace player
{

// Whether the datagrams of a source that is no connected sender look like one stream, before
// they may take the player over: about 100 ms of packets of one coding, arriving at the pace of
// audio, that all decode. Random datagrams that pass the packet checks one by one do not, nor
// does a flood.
class StreamProbe
{
public:
    enum class Result { Undecided, Stream, NotAStream };
    struct Packet {
        QByteArray data;
        int samples;
        qint64 arrivalMs;
    };

    // A playable packet from source at nowMs.
    Result add(const QHostAddress &source, const QByteArray &packet, int samples, qint64 nowMs);
    // The packets of the stream source just proved to be, oldest first; the other sources'
    // packets are dropped, and how many is returned in others.
    QList<Packet> take(const QHostAddress &source, int *others);
    // Datagrams held while their source is on probation, and those found not to be a stream.
    int pending() const;
    qint64 rejected() const { return rejectedCount; }

private:
    struct Candidate {
        QHostAddress source;
        qint64 firstMs;
        int coding;
        int samples;
        QList<Packet> packets;
    };
    static bool decodes(const QList<Packet> &packets);
    void reject(int index);

    QList<Candidate> candidates;
    qint64 rejectedCount = 0;
};

} // namespace player

#endif // PLAYER_STREAMPROBE_H
