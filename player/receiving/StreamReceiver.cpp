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

StreamReceiver::StreamReceiver(JitterBuffer &jitterBuffer, Clock arrivalClock, QObject *parent)
    : QObject(parent)
    , buffer(jitterBuffer)
    , clock(std::move(arrivalClock))
{
    qRegisterMetaType<QHostAddress>();
    connect(&socket, &QUdpSocket::readyRead, this, &StreamReceiver::readPending);
}

bool StreamReceiver::bind(const QHostAddress &address, quint16 port)
{
    return socket.bind(address, port, QAbstractSocket::DontShareAddress);
}

StreamReceiver::Counters StreamReceiver::counters() const
{
    Counters now = totals;
    now.invalid += probe.rejected();
    now.pending = probe.pending();
    return now;
}

void StreamReceiver::readPending()
{
    QByteArray datagram;
    QHostAddress source;
    while (socket.hasPendingDatagrams()) {
        datagram.resize(int(std::clamp<qint64>(socket.pendingDatagramSize(), 0, kReadLimit)));
        const qint64 read = socket.readDatagram(datagram.data(), datagram.size(), &source);
        if (read < 0) {
            break;
        }
        // An oversized datagram is cut to the read limit, which fails the checks.
        datagram.resize(int(std::min<qint64>(read, datagram.size())));
        process(datagram, source);
    }
}

void StreamReceiver::startStream(const QHostAddress &source)
{
    buffer.reset();
    invalidReported = false;
    emit streamStarted(source);
}

void StreamReceiver::process(const QByteArray &datagram, const QHostAddress &rawSource)
{
    ++totals.datagrams;
    const qint64 now = clock();
    const QHostAddress source = SourceGate::normalized(rawSource);
    const int samples = datagram.isEmpty() ? 0 : playableSamples(datagram);
    if (!datagram.isEmpty() && samples == 0) {
        // Checked before the source: junk never takes the player over.
        ++totals.invalid;
        if (!invalidReported) {
            invalidReported = true;
            emit invalidDatagram(source, datagram.size());
        }
        return;
    }
    // A lost-frame mark only means something within a stream: it never starts one.
    if (datagram.isEmpty() && source != gate.current()) {
        ++totals.foreign;
        return;
    }
    if (!gate.isConnected(source) && gate.wouldTakeOver(source, now)) {
        if (probe.add(source, datagram, samples, now) != StreamProbe::Result::Stream) {
            return;
        }
        gate.admit(source, now);
        startStream(source);
        int others = 0;
        const QList<StreamProbe::Packet> packets = probe.take(source, &others);
        totals.foreign += others;
        for (const StreamProbe::Packet &packet : packets) {
            ++totals.played;
            totals.playedBytes += packet.data.size();
            buffer.push(packet.data, packet.samples, packet.arrivalMs);
        }
        emit audioQueued();
        return;
    }
    switch (gate.admit(source, now)) {
    case SourceGate::Verdict::Foreign:
        ++totals.foreign;
        return;
    case SourceGate::Verdict::NewStream:
        startStream(source);
        break;
    case SourceGate::Verdict::Play:
        break;
    }
    ++totals.played;
    totals.playedBytes += datagram.size();
    buffer.push(datagram, samples, now);
    emit audioQueued();
}

} // namespace player
