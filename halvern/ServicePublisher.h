#ifndef HALVERN_SERVICEPUBLISHER_H
#define HALVERN_SERVICEPUBLISHER_H

#include "Discovery.h"
#include "ServiceRegistry.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaType>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUdpSocket>

#include <string>

Q_DECLARE_METATYPE(com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType)
Q_DECLARE_METATYPE(std::string)

// Listens for the services announced on the local network and reports each one it learns of.
// It only listens; announcing is ServiceAnnouncer's job.
class ServicePublisher : public QObject
{
    Q_OBJECT

public:
    struct Options {
        quint16 port = halvern::kDiscoveryPort;
        int periodMs = halvern::kAnnouncePeriodMs;
        // Interfaces whose multicast group membership is taken; empty means all suitable ones.
        QStringList interfaces;
        // Without it only datagrams sent straight to this host are heard.
        bool joinMulticastGroup = true;
    };

    // Starts listening at once, with the process's default options.
    ServicePublisher();
    explicit ServicePublisher(const Options &options, QObject *parent = nullptr);
    ~ServicePublisher() override;

    // Stops listening; no signal is emitted afterwards.
    void quit();
    bool isListening() const;

    // The options that default-constructed listeners use, so that tests can keep discovery on
    // loopback or in a namespace of their own.
    static void setDefaultOptions(const Options &options);
    static Options defaultOptions();

    // The path every received datagram takes; public so that it can be fed without a network.
    void processDatagram(const QByteArray &datagram, const QHostAddress &sender);
    // Datagrams dropped as not being valid announcements.
    int droppedDatagrams() const { return dropped; }

signals:
    void serviceDiscovered(
        QString serviceName, quint16 port,
        com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType protocolType,
        std::string hostAddress);

private:
    void readPending();
    void joinNewInterfaces();
    void drop(const QHostAddress &sender, const char *why);

    Options options;
    QUdpSocket socket;
    QTimer expiryTimer;
    QElapsedTimer clock;
    halvern::ServiceRegistry registry;
    bool listening = false;
    int dropped = 0;
    QSet<QString> reportedSenders;
    QSet<int> joinedInterfaces;
};

#endif // HALVERN_SERVICEPUBLISHER_H
