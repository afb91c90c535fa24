#include "StreamReceiver.h"

#include "JitterBuffer.h"
#include "OpusPacket.h"

#include <algorithm>

namespace player
{

namespace
{
// Larger datagrams are not read whole: they cannot be a packet anyway.
constexpr int kReadLimit = kMaxPacketBytes + 1;
} // namespace

StreamReceiver::StreamReceiver(JitterBuffer &jitterBuffer, const QElapsedTimer &arrivalClock,
                               QObject *parent)
    : QObject(parent)
    , buffer(jitterBuffer)
    , clock(arrivalClock)
{
    connect(&socket, &QUdpSocket::readyRead, this, &StreamReceiver::readPending);
}

bool StreamReceiver::bind(const QHostAddress &address, quint16 port)
{
    return socket.bind(address, port, QAbstractSocket::DontShareAddress);
}

void StreamReceiver::readPending()
{
    QByteArray datagram;
    QHostAddress source;
    while (socket.hasPendingDatagrams()) {
        const qint64 size = socket.pendingDatagramSize();
        datagram.resize(int(std::clamp<qint64>(size, 0, kReadLimit)));
        const qint64 read = socket.readDatagram(datagram.data(), datagram.size(), &source);
        if (read < 0) {
            break;
        }
        // An oversized datagram is cut to the read limit, which fails the checks.
        datagram.resize(int(std::min<qint64>(read, datagram.size())));
        process(datagram, source);
    }
}

void StreamReceiver::process(const QByteArray &datagram, const QHostAddress &source)
{
    ++totals.datagrams;
    const qint64 now = clock.elapsed();
    const int samples = datagram.isEmpty() ? 0 : playableSamples(datagram);
    if (!datagram.isEmpty() && samples == 0) {
        // Checked before the source: junk never takes the player over.
        ++totals.invalid;
        if (!invalidReported) {
            invalidReported = true;
            emit invalidDatagram(SourceGate::normalized(source), datagram.size());
        }
        return;
    }
    // A lost-frame mark only means something within a stream: it never starts one.
    if (datagram.isEmpty() && SourceGate::normalized(source) != gate.current()) {
        ++totals.foreign;
        return;
    }
    switch (gate.admit(source, now)) {
    case SourceGate::Verdict::Foreign:
        ++totals.foreign;
        return;
    case SourceGate::Verdict::NewStream:
        buffer.reset();
        invalidReported = false;
        emit streamStarted(gate.current());
        break;
    case SourceGate::Verdict::Play:
        break;
    }
    ++totals.played;
    totals.playedBytes += datagram.size();
    buffer.push(datagram, samples, now);
}

} // namespace player
