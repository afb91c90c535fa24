// A helper for the discovery tests, run inside network namespaces:
//   halvern_tool listen                 prints "discovered NAME PORT TYPE HOST" per report
//   halvern_tool announce NAME PORT     announces until killed
#include "ServiceAnnouncer.h"
#include "ServicePublisher.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = application.arguments();
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });

    if (args.value(1) == QLatin1String("listen")) {
        auto *listener = new ServicePublisher(ServicePublisher::Options{}, &application);
        QObject::connect(listener, &ServicePublisher::serviceDiscovered,
                         [](const QString &name, quint16 port,
                            com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType type,
                            const std::string &host) {
                             std::printf("discovered %s %u %d %s\n", name.toUtf8().constData(),
                                         unsigned(port), int(type), host.c_str());
                             std::fflush(stdout);
                         });
        if (!listener->isListening()) {
            return 1;
        }
        return application.exec();
    }
    if (args.value(1) == QLatin1String("announce") && args.size() == 4) {
        halvern::Announcement announcement;
        announcement.serviceName = args.at(2);
        announcement.port = static_cast<quint16>(args.at(3).toUInt());
        announcement.protocolType = com::morvenhal::halvern::ServicePublishMessage::WEBSOCKET;
        ServiceAnnouncer announcer(announcement, ServiceAnnouncer::Options{});
        if (!announcer.start()) {
            return 1;
        }
        return application.exec();
    }
    std::fprintf(stderr, "usage: halvern_tool listen | announce NAME PORT\n");
    return 2;
}
