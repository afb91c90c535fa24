#ifndef PLAYER_PRESENCESERVER_H
#define PLAYER_PRESENCESERVER_H

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QWebSocketServer>

class QWebSocket;

namespace player
{

constexpr quint16 kPresencePort = 14213;

// The WebSocket endpoint senders connect to while they stream. Its closing tells a sender the
// receiver has gone, so every connection is closed cleanly when the player ends. The sender
// that connected first, of those still connected, holds the player.
class PresenceServer : public QObject
{
    Q_OBJECT

public:
    explicit PresenceServer(QObject *parent = nullptr);
    ~PresenceServer() override;

    bool listen(const QHostAddress &address, quint16 port = kPresencePort);
    QString errorString() const { return server.errorString(); }
    quint16 port() const { return server.serverPort(); }

    // The holder's address, or null when nobody is connected.
    QHostAddress holder() const;
    int connectionCount() const { return sockets.size(); }
    // Stops accepting and closes every connection with a going-away frame; closed() follows
    // once all have gone (at once when there were none).
    void closeAll();

signals:
    void holderChanged(const QHostAddress &holder);
    void closed();

private:
    void accept();
    void forget(QWebSocket *socket);

    QWebSocketServer server;
    QList<QWebSocket *> sockets;
    bool closing = false;
};

} // namespace player

#endif // PLAYER_PRESENCESERVER_H
