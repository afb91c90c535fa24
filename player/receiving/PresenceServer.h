#ifndef PLAYER_PRESENCESERVER_H
#define PLAYER_PRESENCESERVER_H

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QWebSocketServer>

class QWebSocket;

namespace player
{

constexpr quint16 kPresencePort = 14213;

// The WebSocket endpoint senders connect to while they stream. Its closing tells a sender the
// receiver has gone, so every connection is closed cleanly when the player ends. Nobody can
// hold it hostage: connections are bounded in all and per address (the oldest goes), the
// handshake must come in time, and a sender has nothing to say, so anything it sends beyond a
// few bytes ends its connection, as do pings whose pongs it does not read.
class PresenceServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxConnections = 32;
    // A sender holds two at most: its stream's and the one before.
    static constexpr int kMaxPerAddress = 4;

    explicit PresenceServer(QObject *parent = nullptr);
    ~PresenceServer() override;

    bool listen(const QHostAddress &address, quint16 port = kPresencePort);
    QString errorString() const { return listener.errorString(); }
    quint16 port() const { return listener.serverPort(); }

    // The connected senders' addresses, oldest connection first, each once.
    QList<QHostAddress> senders() const;
    int connectionCount() const { return sockets.size(); }
    // Stops accepting and closes every connection with a going-away frame; closed() follows
    // once all have gone (at once when there were none).
    void closeAll();

signals:
    void sendersChanged(const QList<QHostAddress> &senders);
    // A new connection: a sender that has just pressed Start.
    void senderConnected(const QHostAddress &sender);
    void closed();

private:
    void accept();
    void forget(QWebSocket *socket);
    void makeRoomFor(const QHostAddress &address);

    QTcpServer listener;
    QWebSocketServer server;
    QList<QWebSocket *> sockets;
    bool closing = false;
};

} // namespace player

#endif // PLAYER_PRESENCESERVER_H
