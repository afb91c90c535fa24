#include "PresenceServer.h"

#include "PongGuard.h"
#include "SourceGate.h"

#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

namespace player
{

namespace
{
constexpr int kHandshakeTimeoutMs = 3000;
constexpr quint64 kMaxIncomingBytes = 1024;
// Nothing but pongs is ever sent to a sender, so a few KiB unsent already mean one that pings
// and never reads.
constexpr qint64 kMaxUnsentToSenderBytes = 16 * 1024;

QHostAddress addressOf(const QWebSocket *socket)
{
    return SourceGate::normalized(socket->peerAddress());
}
} // namespace

PresenceServer::PresenceServer(QObject *parent)
    : QObject(parent)
    , server(QStringLiteral("plovarin-player"), QWebSocketServer::NonSecureMode)
{
    server.setHandshakeTimeout(kHandshakeTimeoutMs);
    connect(&server, &QWebSocketServer::newConnection, this, &PresenceServer::accept);
    // Taken in by hand, so that the connection's unsent bytes can be watched as it reads.
    connect(&listener, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = listener.nextPendingConnection()) {
            abortWhenPongsPileUp(socket, kMaxUnsentToSenderBytes);
            // (Qt's own timeout covers only the connections its server accepts itself.)
            QTimer::singleShot(kHandshakeTimeoutMs, socket, [this, socket] {
                if (std::none_of(sockets.cbegin(), sockets.cend(), [socket](QWebSocket *open) {
                        return open->peerPort() == socket->peerPort() &&
                               open->peerAddress() == socket->peerAddress();
                    })) {
                    socket->abort();
                }
            });
            server.handleConnection(socket);
        }
    });
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
    return listener.listen(address, port);
}

QList<QHostAddress> PresenceServer::senders() const
{
    QList<QHostAddress> addresses;
    for (const QWebSocket *socket : sockets) {
        if (!addresses.contains(addressOf(socket))) {
            addresses.append(addressOf(socket));
        }
    }
    return addresses;
}

void PresenceServer::makeRoomFor(const QHostAddress &address)
{
    // The oldest connection of this address goes when it has too many; when all are taken, the
    // oldest of the address holding the most.
    QHostAddress crowded = address;
    int most = 0;
    for (const QHostAddress &other : senders()) {
        int count = 0;
        for (const QWebSocket *socket : qAsConst(sockets)) {
            count += addressOf(socket) == other ? 1 : 0;
        }
        if (other == address && count >= kMaxPerAddress) {
            crowded = address;
            most = count;
            break;
        }
        if (sockets.size() >= kMaxConnections && count > most) {
            crowded = other;
            most = count;
        }
    }
    if (most == 0) {
        return;
    }
    for (QWebSocket *socket : qAsConst(sockets)) {
        if (addressOf(socket) == crowded) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("too many connections"));
            forget(socket);
            return;
        }
    }
}

void PresenceServer::accept()
{
    while (QWebSocket *socket = server.nextPendingConnection()) {
        if (closing) {
            socket->close(QWebSocketProtocol::CloseCodeGoingAway);
            socket->deleteLater();
            continue;
        }
        socket->setMaxAllowedIncomingFrameSize(kMaxIncomingBytes);
        socket->setMaxAllowedIncomingMessageSize(kMaxIncomingBytes);
        makeRoomFor(addressOf(socket));
        sockets.append(socket);
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { forget(socket); });
        emit senderConnected(addressOf(socket));
        emit sendersChanged(senders());
    }
}

void PresenceServer::forget(QWebSocket *socket)
{
    if (!sockets.removeOne(socket)) {
        return;
    }
    socket->disconnect(this);
    socket->deleteLater();
    emit sendersChanged(senders());
    if (closing && sockets.isEmpty()) {
        emit closed();
    }
}

void PresenceServer::closeAll()
{
    closing = true;
    listener.close();
    server.close();
    if (sockets.isEmpty()) {
        emit closed();
        return;
    }
    const QList<QWebSocket *> open = sockets;
    for (QWebSocket *socket : open) {
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("player stopped"));
    }
}

} // namespace player
