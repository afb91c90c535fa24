#include "SourceGate.h"

namespace player
{

QHostAddress SourceGate::normalized(const QHostAddress &address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4) : address;
}

void SourceGate::setConnected(const QList<QHostAddress> &addresses)
{
    connected.clear();
    for (const QHostAddress &address : addresses) {
        connected.append(normalized(address));
    }
}

bool SourceGate::isConnected(const QHostAddress &address) const
{
    return connected.contains(normalized(address));
}

void SourceGate::expectNewStream(const QHostAddress &address)
{
    restarting = normalized(address);
}

bool SourceGate::wouldTakeOver(const QHostAddress &rawSource, qint64 nowMs) const
{
    const QHostAddress source = normalized(rawSource);
    if (source == currentSource) {
        return false;
    }
    return currentSource.isNull() || nowMs - lastSeenMs >= kReleaseMs ||
           (isConnected(source) && !isConnected(currentSource));
}

SourceGate::Verdict SourceGate::admit(const QHostAddress &rawSource, qint64 nowMs)
{
    const QHostAddress source = normalized(rawSource);
    const bool same = source == currentSource;
    if (!same && !wouldTakeOver(source, nowMs)) {
        return Verdict::Foreign;
    }
    // A sender back after a silence, or connected anew, starts afresh: a new encoder.
    const bool fresh = !same || nowMs - lastSeenMs >= kReleaseMs || source == restarting;
    if (source == restarting) {
        restarting.clear();
    }
    currentSource = source;
    lastSeenMs = nowMs;
    return fresh ? Verdict::NewStream : Verdict::Play;
}

} // namespace player
