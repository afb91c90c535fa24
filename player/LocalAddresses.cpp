#include "LocalAddresses.h"

#include "SourceGate.h"

#include <QNetworkInterface>

#include <algorithm>

namespace player
{

bool isOwnAddress(const QHostAddress &address)
{
    const QHostAddress normal = SourceGate::normalized(address);
    if (normal.isLoopback()) {
        return true;
    }
    const auto own = QNetworkInterface::allAddresses();
    return std::any_of(own.begin(), own.end(), [&](const QHostAddress &a) {
        return SourceGate::normalized(a).isEqual(normal);
    });
}

QStringList pageUrls(const QHostAddress &bind, quint16 port)
{
    const auto url = [port](const QHostAddress &address) {
        return QStringLiteral("http://%1:%2/").arg(address.toString()).arg(port);
    };
    if (bind != QHostAddress(QHostAddress::Any) && bind != QHostAddress(QHostAddress::AnyIPv4) &&
        bind != QHostAddress(QHostAddress::AnyIPv6)) {
        return {bind.protocol() == QAbstractSocket::IPv6Protocol
                    ? QStringLiteral("http://[%1]:%2/").arg(bind.toString()).arg(port)
                    : url(bind)};
    }
    QStringList preferred;
    QStringList others;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            !flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack)) {
            continue;
        }
        // The phone is most likely on the wireless or wired network, not on a virtual bridge.
        const bool physical = interface.type() == QNetworkInterface::Wifi ||
                              interface.type() == QNetworkInterface::Ethernet;
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol &&
                !entry.ip().isLoopback()) {
                (physical ? preferred : others) << url(entry.ip());
            }
        }
    }
    const QStringList all = preferred + others;
    return all.isEmpty() ? QStringList{url(QHostAddress(QHostAddress::LocalHost))} : all;
}

} // namespace player
