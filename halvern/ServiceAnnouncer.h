#ifndef HALVERN_SERVICEANNOUNCER_H
#define HALVERN_SERVICEANNOUNCER_H

#include "Discovery.h"

#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUdpSocket>

// Announces one service on the local network, once at start and then every period, until
// stopped: to the discovery group on every suitable interface, on the chosen ones, or straight
// to one address.
class ServiceAnnouncer : public QObject
{
    Q_OBJECT

public:
    struct Options {
        quint16 port = halvern::kDiscoveryPort;
        int periodMs = halvern::kAnnouncePeriodMs;
        // Interfaces to announce on; empty means all suitable ones.
        QStringList interfaces;
        // When set, announcements go to this address alone instead of the group.
        QHostAddress target;
    };

    explicit ServiceAnnouncer(const halvern::Announcement &announcement, const Options &options,
                              QObject *parent = nullptr);
    ~ServiceAnnouncer() override;

    // Starts announcing; false, with the reason logged, when the name is not valid or there is
    // nowhere to announce.
    bool start();
    void stop();
    bool isAnnouncing() const { return timer.isActive(); }
    // The interfaces the last announcement went out on.
    QStringList interfaceNames() const { return lastInterfaces; }

private:
    void announce();

    QByteArray datagram;
    QString serviceName;
    Options options;
    QUdpSocket socket;
    QTimer timer;
    QStringList lastInterfaces;
};

#endif // HALVERN_SERVICEANNOUNCER_H
