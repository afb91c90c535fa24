#ifndef PLAYER_LOCALADDRESSES_H
#define PLAYER_LOCALADDRESSES_H

#include <QHostAddress>
#include <QStringList>

namespace player
{

// Whether address belongs to this machine: loopback, or an address of one of its interfaces.
bool isOwnAddress(const QHostAddress &address);

// The page's address for each network it is served on: one per IPv4 address of an interface
// that is up and running (wired and wireless first), or bind's own when the endpoint is bound
// to one, or the loopback address when there is nothing else.
QStringList pageUrls(const QHostAddress &bind, quint16 port);

} // namespace player

#endif // PLAYER_LOCALADDRESSES_H
