#ifndef HALVERN_DISCOVERY_H
#define HALVERN_DISCOVERY_H

#include "ServicePublishMessage.pb.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QString>
#include <QStringList>

#include <optional>

// The LAN discovery protocol: receivers announce themselves to an administratively scoped
// multicast group once a second; listeners report what they hear.
namespace halvern
{

using ProtocolType = com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType;

// Organisation-local scope (239.255.0.0/16), so routers at the site's edge never forward it.
inline const QHostAddress kDiscoveryGroup{QStringLiteral("239.255.73.51")};
constexpr quint16 kDiscoveryPort = 17351;
constexpr quint32 kMagic = 0x484c5652; // "HLVR"
constexpr quint32 kVersion = 1;
constexpr int kAnnouncePeriodMs = 1000;
// A service that has not announced for this many periods is forgotten.
constexpr int kExpiryPeriods = 3;
constexpr int kMaxDatagramBytes = 512;
constexpr int kMaxServiceNameBytes = 255;

struct Announcement {
    QString serviceName;
    quint16 port = 0;
    ProtocolType protocolType =
        com::morvenhal::halvern::ServicePublishMessage::SERVICE_PROTOCOL_UNSPECIFIED;
};

// Serialises an announcement for the wire.
QByteArray encodeAnnouncement(const Announcement &announcement);

// Reads one datagram; nothing for anything that is not a valid announcement of this protocol.
std::optional<Announcement> parseAnnouncement(const QByteArray &datagram);

// Whether a name may be announced: 1 to 255 bytes of UTF-8 without control characters.
bool isValidServiceName(const QString &name);

// The interfaces that discovery uses: up, running, multicast-capable and with an IPv4 address,
// limited to the given names when any are given.
QList<QNetworkInterface> discoveryInterfaces(const QStringList &onlyNames = {});

} // namespace halvern

#endif // HALVERN_DISCOVERY_H
