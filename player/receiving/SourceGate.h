#ifndef PLAYER_SOURCEGATE_H
#define PLAYER_SOURCEGATE_H

#include <QHostAddress>
#include <QList>
#include <QMetaType>

namespace player
{

// Decides whose datagrams are played. One source plays at a time and keeps the player until it
// has been silent for kReleaseMs; a sender connected to the WebSocket endpoint takes it over from
// one that is not. Connections that stay idle reserve nothing, so nobody can lock a streaming
// sender out by holding them.
class SourceGate
{
public:
    enum class Verdict {
        Play,      // the current source
        NewStream, // a source that takes over, or the current one starting afresh
        Foreign    // someone else: count and drop
    };

    static constexpr qint64 kReleaseMs = 2000;

    // The addresses of the senders connected to the WebSocket endpoint.
    void setConnected(const QList<QHostAddress> &addresses);
    bool isConnected(const QHostAddress &address) const;
    // The sender at address has connected anew (a new Start): its next datagram starts a stream.
    void expectNewStream(const QHostAddress &address);
    // Whether a datagram from source now would take the player over from someone else (or an
    // idle player).
    bool wouldTakeOver(const QHostAddress &source, qint64 nowMs) const;
    Verdict admit(const QHostAddress &source, qint64 nowMs);
    // The source being played, or null.
    QHostAddress current() const { return currentSource; }

    // IPv4-mapped IPv6 addresses as plain IPv4, so both socket kinds compare equal.
    static QHostAddress normalized(const QHostAddress &address);

private:
    QList<QHostAddress> connected;
    QHostAddress currentSource;
    QHostAddress restarting;
    qint64 lastSeenMs = 0;
};

} // namespace player

// Addresses travel in the player's signals.
Q_DECLARE_METATYPE(QHostAddress)

#endif // PLAYER_SOURCEGATE_H
