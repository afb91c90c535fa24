#ifndef HALVERN_SERVICEREGISTRY_H
#define HALVERN_SERVICEREGISTRY_H

#include "Discovery.h"

#include <QMap>
#include <QPair>
#include <QString>

#include <optional>

namespace halvern
{

// What a listener knows of the services it has heard, keyed by name and host. It decides which
// announcements are news: a service first heard, one whose port or type changed, or one heard
// again after it expired. Time is passed in, so the rules can be checked without waiting.
class ServiceRegistry
{
public:
    struct Report {
        Announcement announcement;
        QString hostAddress;
    };

    explicit ServiceRegistry(int periodMs = kAnnouncePeriodMs);

    // Records an announcement heard at nowMs; returns it when it is news.
    std::optional<Report> observe(const Announcement &announcement, const QString &hostAddress,
                                  qint64 nowMs);
    // Forgets the services not heard for kExpiryPeriods periods; returns how many.
    int expire(qint64 nowMs);
    int size() const { return services.size(); }

private:
    struct Entry {
        Announcement announcement;
        qint64 lastHeardMs = 0;
    };

    int periodMs;
    QMap<QPair<QString, QString>, Entry> services;
};

} // namespace halvern

#endif // HALVERN_SERVICEREGISTRY_H
