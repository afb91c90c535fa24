#ifndef PLAYER_WEBSERVER_H
#define PLAYER_WEBSERVER_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <QWebSocketServer>

class QTcpSocket;

namespace player
{

class WebRelay;

constexpr quint16 kWebPort = 14214;
// The path of the page's WebSocket; everything else served is a file of the page.
inline const QByteArray kWebStreamPath = QByteArrayLiteral("/stream");

// The web endpoint: serves the page's own files (embedded in the program) over plain HTTP and
// hands WebSocket upgrades on the stream path to the relay. Every connection is bounded: how
// many, how many from one address, how long a request may take to arrive and how large it may
// be. Anything but a GET or HEAD of the page's files or the stream is answered with an error
// status and closed.
class WebServer : public QObject
{
    Q_OBJECT

public:
    struct Limits {
        int requestTimeoutMs = 5000; // also for an answer the peer does not take
        int maxConnections = 64;
        int maxConnectionsPerAddress = 16;
        int maxRequestBytes = 8192;
        int handshakeTimeoutMs = 3000;
    };

    explicit WebServer(WebRelay &relay, QObject *parent = nullptr);
    ~WebServer() override;

    void setLimits(const Limits &limits);
    bool listen(const QHostAddress &address, quint16 port = kWebPort);
    QAbstractSocket::SocketError serverError() const { return server.serverError(); }
    QString errorString() const { return server.errorString(); }
    quint16 port() const { return server.serverPort(); }
    // Connections open and not handed to the relay.
    int connectionCount() const { return connections.size(); }
    // Stops accepting; connections still open finish on their own.
    void close();

signals:
    // A request was refused, with the status sent (0: closed without an answer).
    void refused(const QHostAddress &peer, int status, const QString &reason);

private:
    void accept();
    void readRequest(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int status, const QByteArray &contentType = {},
                const QByteArray &body = {}, bool headOnly = false);
    void refuse(QTcpSocket *socket, int status, const QString &reason);
    void upgrade(QTcpSocket *socket);
    void release(QTcpSocket *socket);

    WebRelay &relay;
    Limits limits;
    QTcpServer server;
    QWebSocketServer upgrader;
    QHash<QByteArray, QString> files; // path -> resource
    QList<QTcpSocket *> connections;  // accepted and not handed over, oldest first
    QHash<QHostAddress, int> perAddress;
};

} // namespace player

#endif // PLAYER_WEBSERVER_H
