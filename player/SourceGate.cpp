#include "SourceGate.h"

namespace player
{

QHostAddress SourceGate::normalized(const QHostAddress &address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4) : address;
}

void SourceGate::setHolder(const QHostAddress &address)
{
    holderAddress = normalized(address);
}

SourceGate::Verdict SourceGate::admit(const QHostAddress &rawSource, qint64 nowMs)
{
    const QHostAddress source = normalized(rawSource);
    const bool silent = nowMs - lastSeenMs >= kReleaseMs;
    if (!holderAddress.isNull() ? source != holderAddress
                                : !currentSource.isNull() && source != currentSource && !silent) {
        return Verdict::Foreign;
    }
    // A sender back after a silence is a new stream too: its encoder started afresh.
    const bool fresh = source != currentSource || silent;
    currentSource = source;
    lastSeenMs = nowMs;
    return fresh ? Verdict::NewStream : Verdict::Play;
}

} // namespace player
