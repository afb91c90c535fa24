#ifndef PLAYER_PONGGUARD_H
#define PLAYER_PONGGUARD_H

#include <QtGlobal>

class QTcpSocket;

namespace player
{

// Qt answers every ping with a pong: a WebSocket peer that pings and never reads would have them
// pile up on our side. Aborts the connection, as it reads, once more than maxUnsentBytes wait to
// be sent; its receive buffer is kept small, since one read's pings add one read's pongs. For
// the socket before it is handed to QWebSocketServer::handleConnection().
void abortWhenPongsPileUp(QTcpSocket *socket, qint64 maxUnsentBytes);

} // namespace player

#endif // PLAYER_PONGGUARD_H
