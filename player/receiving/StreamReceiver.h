#ifndef PLAYER_STREAMRECEIVER_H
#define PLAYER_STREAMRECEIVER_H

#include "SourceGate.h"
#include "StreamProbe.h"

#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

#include <functional>

namespace player
{

class JitterBuffer;

constexpr quint16 kStreamPort = 10493;

// Takes the datagrams of the stream port: checks each one, lets the source gate decide whose
// are played (a source that is no connected sender on probation first), and hands the
// playable packets to the jitter buffer.
class StreamReceiver : public QObject
{
    Q_OBJECT

public:
    struct Counters {
        qint64 datagrams = 0; // everything that arrived
        qint64 played = 0;    // handed to the buffer, empty ones included
        qint64 invalid = 0;   // not a playable Opus packet, or not part of a stream
        qint64 foreign = 0;   // from a source that is not the one being played
        qint64 pending = 0;   // held while their source is on probation
        qint64 playedBytes = 0;
    };

    // Arrival times in ms, on any steady clock.
    using Clock = std::function<qint64()>;

    StreamReceiver(JitterBuffer &buffer, Clock clock, QObject *parent = nullptr);

    // Binds the stream port exclusively, so a second player on the same port fails loudly.
    bool bind(const QHostAddress &address, quint16 port = kStreamPort);
    QAbstractSocket::SocketError error() const { return socket.error(); }
    QString errorString() const { return socket.errorString(); }
    quint16 port() const { return socket.localPort(); }

    void setConnected(const QList<QHostAddress> &senders) { gate.setConnected(senders); }
    void expectNewStream(const QHostAddress &sender) { gate.expectNewStream(sender); }
    QHostAddress currentSource() const { return gate.current(); }
    Counters counters() const;
    // Takes everything waiting on the socket; the playback calls it before it pulls audio,
    // so that what has arrived counts.
    void readPending();
    // Runs one datagram through the checks, as if it had arrived from source.
    void process(const QByteArray &datagram, const QHostAddress &source);

signals:
    void streamStarted(const QHostAddress &source);
    // A packet went to the jitter buffer.
    void audioQueued();
    // The first unplayable datagram of a stream, so a misconfigured sender is noticed.
    void invalidDatagram(const QHostAddress &source, int bytes);

private:
    void startStream(const QHostAddress &source);

    JitterBuffer &buffer;
    Clock clock;
    QUdpSocket socket;
    SourceGate gate;
    StreamProbe probe;
    Counters totals;
    bool invalidReported = false;
};

} // namespace player

#endif // PLAYER_STREAMRECEIVER_H
