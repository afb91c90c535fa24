#include "ServiceAnnouncer.h"

#include "Log.h"

namespace
{
// Announcements are for the local link only.
constexpr int kMulticastTtl = 1;
} // namespace

ServiceAnnouncer::ServiceAnnouncer(const halvern::Announcement &announcement, const Options &opts,
                                   QObject *parent)
    : QObject(parent)
    , datagram(halvern::encodeAnnouncement(announcement))
    , serviceName(announcement.serviceName)
    , options(opts)
{
    connect(&timer, &QTimer::timeout, this, &ServiceAnnouncer::announce);
}

ServiceAnnouncer::~ServiceAnnouncer()
{
    stop();
}

bool ServiceAnnouncer::start()
{
    if (!halvern::isValidServiceName(serviceName)) {
        LOG_LINE() << ", not a valid service name: " << serviceName;
        return false;
    }
    if (socket.state() != QAbstractSocket::BoundState &&
        !socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        LOG_LINE() << ", cannot open the announcing socket, error: " << socket.errorString();
        return false;
    }
    socket.setSocketOption(QAbstractSocket::MulticastTtlOption, kMulticastTtl);
    if (options.target.isNull() && halvern::discoveryInterfaces(options.interfaces).isEmpty()) {
        LOG_LINE() << ", no interface to announce on: "
                   << options.interfaces.join(QLatin1Char(','));
        return false;
    }
    announce();
    timer.start(options.periodMs);
    return true;
}

void ServiceAnnouncer::stop()
{
    timer.stop();
}

void ServiceAnnouncer::announce()
{
    if (!options.target.isNull()) {
        socket.writeDatagram(datagram, options.target, options.port);
        return;
    }
    // The interface list is read anew each time, so an interface that comes up later is used.
    QStringList names;
    const auto interfaces = halvern::discoveryInterfaces(options.interfaces);
    for (const QNetworkInterface &interface : interfaces) {
        socket.setMulticastInterface(interface);
        if (socket.writeDatagram(datagram, halvern::kDiscoveryGroup, options.port) >= 0) {
            names.append(interface.name());
        }
    }
    if (names != lastInterfaces) {
        LOG_LINE() << ", announcing: " << serviceName << ", on: " << names.join(QLatin1Char(','));
        lastInterfaces = names;
    }
}
