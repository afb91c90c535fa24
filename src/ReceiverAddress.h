#ifndef RECEIVERADDRESS_H
#define RECEIVERADDRESS_H

#include <QHostAddress>
#include <QList>
#include <QString>

// The receiver named by the address field: one numeric unicast address, IPv4 or IPv6. Both
// the datagrams and the WebSocket go to it, so a text that is anything else (a host name, a
// broadcast, multicast or unspecified address) names no receiver at all.
class ReceiverAddress
{
public:
    // No address at all: refused.
    ReceiverAddress()
        : ReceiverAddress(QString(), {})
    {
    }
    // Checks text against the broadcast addresses of this computer's interfaces.
    explicit ReceiverAddress(const QString &text);
    // Checks text against the given subnet broadcast addresses.
    ReceiverAddress(const QString &text, const QList<QHostAddress> &subnetBroadcasts);

    bool isValid() const { return refusal.isEmpty(); }
    // Null when the text is refused.
    QHostAddress address() const { return isValid() ? host : QHostAddress(); }
    // Why the text names no receiver, for the log; empty when it does.
    QString whyRefused() const { return refusal; }
    // The host as a URL names it: IPv6 in brackets, a zone percent-encoded.
    QString urlHost() const;

    static QList<QHostAddress> localBroadcastAddresses();

private:
    QHostAddress host;
    QString refusal;
};

#endif // RECEIVERADDRESS_H
