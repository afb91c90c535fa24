#include "ServicePublisher.h"

#include "Log.h"

#include <QNetworkDatagram>

namespace
{

ServicePublisher::Options &processDefaults()
{
    static ServicePublisher::Options defaults;
    return defaults;
}

// Senders whose bad datagrams are logged; beyond that they are only counted.
constexpr int kLoggedSendersLimit = 16;

void registerMetaTypes()
{
    qRegisterMetaType<com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType>(
        "com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType");
    qRegisterMetaType<std::string>("std::string");
}

QString numericIPv4(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ipv4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(ipv4).toString() : QString();
}

} // namespace

ServicePublisher::ServicePublisher()
    : ServicePublisher(processDefaults())
{
}

ServicePublisher::ServicePublisher(const Options &opts, QObject *parent)
    : QObject(parent)
    , options(opts)
    , registry(opts.periodMs)
{
    registerMetaTypes();
    clock.start();
    connect(&socket, &QUdpSocket::readyRead, this, &ServicePublisher::readPending);
    connect(&expiryTimer, &QTimer::timeout, this, [this]() {
        registry.expire(clock.elapsed());
        joinNewInterfaces();
    });

    if (!socket.bind(QHostAddress::AnyIPv4, options.port,
                     QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        LOG_LINE() << ", cannot listen for receivers on port: " << options.port
                   << ", error: " << socket.errorString();
        return;
    }
    listening = true;
    joinNewInterfaces();
    LOG_LINE() << ", listening for receivers on interfaces: " << joinedInterfaces.size()
               << ", port: " << options.port;
    expiryTimer.start(options.periodMs);
}

void ServicePublisher::joinNewInterfaces()
{
    if (!options.joinMulticastGroup) {
        return;
    }
    // Looked at every period: a network that comes up after start (Wi-Fi joined later, a cable
    // plugged in) is listened on too.
    const auto interfaces = halvern::discoveryInterfaces(options.interfaces);
    for (const QNetworkInterface &interface : interfaces) {
        if (joinedInterfaces.contains(interface.index())) {
            continue;
        }
        joinedInterfaces.insert(interface.index());
        if (socket.joinMulticastGroup(halvern::kDiscoveryGroup, interface)) {
            LOG_LINE() << ", listening on: " << interface.name();
        } else {
            LOG_LINE() << ", cannot join the discovery group on: " << interface.name()
                       << ", error: " << socket.errorString();
        }
    }
}

ServicePublisher::~ServicePublisher()
{
    quit();
}

void ServicePublisher::quit()
{
    listening = false;
    expiryTimer.stop();
    socket.close();
}

bool ServicePublisher::isListening() const
{
    return listening;
}

void ServicePublisher::setDefaultOptions(const Options &defaults)
{
    processDefaults() = defaults;
}

ServicePublisher::Options ServicePublisher::defaultOptions()
{
    return processDefaults();
}

void ServicePublisher::readPending()
{
    while (listening && socket.hasPendingDatagrams()) {
        const qint64 size = socket.pendingDatagramSize();
        if (size > halvern::kMaxDatagramBytes) {
            // Read with a limit, a larger datagram would arrive cut short and look shorter.
            const QNetworkDatagram oversized = socket.receiveDatagram(0);
            drop(oversized.senderAddress(), "oversized");
            continue;
        }
        const QNetworkDatagram datagram = socket.receiveDatagram(halvern::kMaxDatagramBytes);
        processDatagram(datagram.data(), datagram.senderAddress());
    }
}

void ServicePublisher::processDatagram(const QByteArray &datagram, const QHostAddress &sender)
{
    if (!listening) {
        return;
    }
    const QString host = numericIPv4(sender);
    if (host.isEmpty()) {
        drop(sender, "not an IPv4 sender");
        return;
    }
    const auto announcement = halvern::parseAnnouncement(datagram);
    if (!announcement) {
        drop(sender, "not an announcement");
        return;
    }
    const auto report = registry.observe(*announcement, host, clock.elapsed());
    if (report) {
        emit serviceDiscovered(report->announcement.serviceName, report->announcement.port,
                               report->announcement.protocolType,
                               report->hostAddress.toStdString());
    }
}

void ServicePublisher::drop(const QHostAddress &sender, const char *why)
{
    ++dropped;
    const QString who = sender.toString();
    if (reportedSenders.contains(who) || reportedSenders.size() >= kLoggedSendersLimit) {
        return;
    }
    reportedSenders.insert(who);
    LOG_LINE() << ", dropped a datagram from: " << who << ", reason: " << why;
}
