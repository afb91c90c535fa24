#include "ReceiverAddress.h"

#include <QNetworkInterface>

ReceiverAddress::ReceiverAddress(const QString &text)
    : ReceiverAddress(text, localBroadcastAddresses())
{
}

ReceiverAddress::ReceiverAddress(const QString &text, const QList<QHostAddress> &subnetBroadcasts)
{
    // QHostAddress parses numeric addresses only: a host name is never looked up.
    host = QHostAddress(text);
    // An IPv4 address written in its IPv6 form is judged as the IPv4 address it stands for.
    bool isIPv4 = false;
    const QHostAddress ipv4(host.toIPv4Address(&isIPv4));
    const QHostAddress &judged = isIPv4 ? ipv4 : host;
    if (host.isNull()) {
        refusal = QStringLiteral("not a numeric IPv4 or IPv6 address");
    } else if (judged.isBroadcast() || subnetBroadcasts.contains(judged)) {
        refusal = QStringLiteral("a broadcast address");
    } else if (judged.isMulticast()) {
        refusal = QStringLiteral("a multicast address");
    } else if (judged == QHostAddress(QHostAddress::AnyIPv4) ||
               host == QHostAddress(QHostAddress::AnyIPv6)) {
        refusal = QStringLiteral("the unspecified address");
    }
}

QString ReceiverAddress::urlHost() const
{
    if (!isValid()) {
        return QString();
    }
    if (host.protocol() != QAbstractSocket::IPv6Protocol) {
        return host.toString();
    }
    QString literal = host.toString();
    literal.replace(QLatin1Char('%'), QLatin1String("%25"));
    return QLatin1Char('[') + literal + QLatin1Char(']');
}

QList<QHostAddress> ReceiverAddress::localBroadcastAddresses()
{
    QList<QHostAddress> broadcasts;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        const QList<QNetworkAddressEntry> entries = networkInterface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (!entry.broadcast().isNull()) {
                broadcasts.append(entry.broadcast());
            }
        }
    }
    return broadcasts;
}
