#ifndef PLAYER_STREAMRECEIVER_H
#define PLAYER_STREAMRECEIVER_H

#include "SourceGate.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

namespace player
{

class JitterBuffer;

constexpr quint16 kStreamPort = 10493;

// Takes the datagrams of the stream port: checks each one, lets the source gate decide whose
// are played, and hands the playable packets to the jitter buffer.
class StreamReceiver : public QObject
{
    Q_OBJECT

public:
    struct Counters {
        qint64 datagrams = 0; // everything that arrived
        qint64 played = 0;    // handed to the buffer, empty ones included
        qint64 invalid = 0;   // not a playable Opus packet
        qint64 foreign = 0;   // from a source that is not the one being played
        qint64 playedBytes = 0;
    };

    // Arrival times are taken on clock, which must have been started.
    StreamReceiver(JitterBuffer &buffer, const QElapsedTimer &clock, QObject *parent = nullptr);

    // Binds the stream port exclusively, so a second player on the same port fails loudly.
    bool bind(const QHostAddress &address, quint16 port = kStreamPort);
    QString errorString() const { return socket.errorString(); }
    QAbstractSocket::SocketError error() const { return socket.error(); }
    quint16 port() const { return socket.localPort(); }

    void setHolder(const QHostAddress &holder) { gate.setHolder(holder); }
    QHostAddress currentSource() const { return gate.current(); }
    const Counters &counters() const { return totals; }
    // Takes everything waiting on the socket; the playback calls it before it pulls audio,
    // so that what has arrived counts.
    void readPending();
    // Runs one datagram through the checks, as if it had arrived from source.
    void process(const QByteArray &datagram, const QHostAddress &source);

signals:
    void streamStarted(const QHostAddress &source);
    // The first unplayable datagram of a stream, so a misconfigured sender is noticed.
    void invalidDatagram(const QHostAddress &source, int bytes);

private:
    JitterBuffer &buffer;
    const QElapsedTimer &clock;
    QUdpSocket socket;
    SourceGate gate;
    Counters totals;
    bool invalidReported = false;
};

} // namespace player

#endif // PLAYER_STREAMRECEIVER_H
