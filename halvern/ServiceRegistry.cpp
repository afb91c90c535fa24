#include "ServiceRegistry.h"

namespace halvern
{

ServiceRegistry::ServiceRegistry(int period)
    : periodMs(period)
{
}

std::optional<ServiceRegistry::Report>
ServiceRegistry::observe(const Announcement &announcement, const QString &hostAddress, qint64 nowMs)
{
    expire(nowMs);
    const auto key = qMakePair(announcement.serviceName, hostAddress);
    auto it = services.find(key);
    const bool news = it == services.end() || it->announcement.port != announcement.port ||
                      it->announcement.protocolType != announcement.protocolType;
    services[key] = Entry{announcement, nowMs};
    if (!news) {
        return std::nullopt;
    }
    return Report{announcement, hostAddress};
}

int ServiceRegistry::expire(qint64 nowMs)
{
    const qint64 limit = static_cast<qint64>(kExpiryPeriods) * periodMs;
    int removed = 0;
    for (auto it = services.begin(); it != services.end();) {
        if (nowMs - it->lastHeardMs > limit) {
            it = services.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

} // namespace halvern
