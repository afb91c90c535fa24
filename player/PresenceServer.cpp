#include "PresenceServer.h"

#include "SourceGate.h"

#include <QWebSocket>

namespace player
{

PresenceServer::PresenceServer(QObject *parent)
    : QObject(parent)
    , server(QStringLiteral("plovarin-player"), QWebSocketServer::NonSecureMode)
{
    connect(&server, &QWebSocketServer::newConnection, this, &PresenceServer::accept);
}

PresenceServer::~PresenceServer()
{
    for (QWebSocket *socket : qAsConst(sockets)) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

bool PresenceServer::listen(const QHostAddress &address, quint16 port)
{
    return server.listen(address, port);
}

QHostAddress PresenceServer::holder() const
{
    return sockets.isEmpty() ? QHostAddress()
                             : SourceGate::normalized(sockets.first()->peerAddress());
}

void PresenceServer::accept()
{
    while (QWebSocket *socket = server.nextPendingConnection()) {
        if (closing) {
            socket->close(QWebSocketProtocol::CloseCodeGoingAway);
            socket->deleteLater();
            continue;
        }
        const QHostAddress before = holder();
        sockets.append(socket);
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { forget(socket); });
        if (holder() != before) {
            emit holderChanged(holder());
        }
    }
}

void PresenceServer::forget(QWebSocket *socket)
{
    const QHostAddress before = holder();
    sockets.removeAll(socket);
    socket->deleteLater();
    if (holder() != before) {
        emit holderChanged(holder());
    }
    if (closing && sockets.isEmpty()) {
        emit closed();
    }
}

void PresenceServer::closeAll()
{
    closing = true;
    server.close();
    if (sockets.isEmpty()) {
        emit closed();
        return;
    }
    for (QWebSocket *socket : qAsConst(sockets)) {
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("player stopped"));
    }
}

} // namespace player
