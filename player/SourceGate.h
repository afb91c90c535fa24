#ifndef PLAYER_SOURCEGATE_H
#define PLAYER_SOURCEGATE_H

#include <QHostAddress>

namespace player
{

// Decides whose datagrams are played. While a sender holds the WebSocket, only datagrams from
// its address are; with none connected, the first source that sends is, until it has been
// silent for kReleaseMs.
class SourceGate
{
public:
    enum class Verdict {
        Play,      // the current source
        NewStream, // a source that takes over: play it as a new stream
        Foreign    // someone else: count and drop
    };

    static constexpr qint64 kReleaseMs = 2000;

    // The address of the sender holding the WebSocket; a null address when none does.
    void setHolder(const QHostAddress &address);
    QHostAddress holder() const { return holderAddress; }

    Verdict admit(const QHostAddress &source, qint64 nowMs);
    // The source being played, or null.
    QHostAddress current() const { return currentSource; }

    // IPv4-mapped IPv6 addresses as plain IPv4, so both socket kinds compare equal.
    static QHostAddress normalized(const QHostAddress &address);

private:
    QHostAddress holderAddress;
    QHostAddress currentSource;
    qint64 lastSeenMs = 0;
};

} // namespace player

#endif // PLAYER_SOURCEGATE_H
