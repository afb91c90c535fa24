#include "Discovery.h"

#include <string>

namespace halvern
{

using com::morvenhal::halvern::ServicePublishMessage;

QByteArray encodeAnnouncement(const Announcement &announcement)
{
    ServicePublishMessage message;
    message.set_magic(kMagic);
    message.set_version(kVersion);
    message.set_service_name(announcement.serviceName.toStdString());
    message.set_port(announcement.port);
    message.set_protocol_type(announcement.protocolType);
    const std::string bytes = message.SerializeAsString();
    return QByteArray(bytes.data(), static_cast<int>(bytes.size()));
}

bool isValidServiceName(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    if (utf8.isEmpty() || utf8.size() > kMaxServiceNameBytes) {
        return false;
    }
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c.isNonCharacter() ||
            c == QChar::ReplacementCharacter) {
            return false;
        }
    }
    return true;
}

std::optional<Announcement> parseAnnouncement(const QByteArray &datagram)
{
    if (datagram.isEmpty() || datagram.size() > kMaxDatagramBytes) {
        return std::nullopt;
    }
    ServicePublishMessage message;
    if (!message.ParseFromArray(datagram.constData(), datagram.size())) {
        return std::nullopt;
    }
    if (message.magic() != kMagic || message.version() != kVersion) {
        return std::nullopt;
    }
    if (message.port() == 0 || message.port() > 65535 ||
        !ServicePublishMessage::ServiceProtocolType_IsValid(message.protocol_type())) {
        return std::nullopt;
    }
    const std::string &name = message.service_name();
    const QString serviceName = QString::fromUtf8(name.data(), static_cast<int>(name.size()));
    if (!isValidServiceName(serviceName)) {
        return std::nullopt;
    }
    Announcement announcement;
    announcement.serviceName = serviceName;
    announcement.port = static_cast<quint16>(message.port());
    announcement.protocolType = message.protocol_type();
    return announcement;
}

QList<QNetworkInterface> discoveryInterfaces(const QStringList &onlyNames)
{
    QList<QNetworkInterface> result;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (!onlyNames.isEmpty() && !onlyNames.contains(interface.name())) {
            continue;
        }
        const auto flags = interface.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning) ||
            !(flags & QNetworkInterface::CanMulticast)) {
            continue;
        }
        bool hasIPv4 = false;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            hasIPv4 = hasIPv4 || entry.ip().protocol() == QAbstractSocket::IPv4Protocol;
        }
        if (hasIPv4) {
            result.append(interface);
        }
    }
    return result;
}

} // namespace halvern
