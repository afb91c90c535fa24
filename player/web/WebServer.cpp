#include "WebServer.h"

#include "PongGuard.h"
#include "SourceGate.h"
#include "WebRelay.h"

#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

// Resources of a static library are registered by hand, outside any namespace.
static void initWebResources()
{
    Q_INIT_RESOURCE(web);
}

namespace player
{

namespace
{
const QString kResourceFolder = QStringLiteral(":/web");
// A method is a short token of capital letters; anything else at the start is not HTTP.
constexpr int kMaxMethodLength = 16;
constexpr int kSendBufferBytes = 16 * 1024;
// A listener's connection never holds more unsent than a few frames and a state message: more
// means a peer that pings and never reads the pongs.
constexpr qint64 kMaxUnsentToListenerBytes = 64 * 1024;

struct Request {
    QByteArray method;
    QByteArray path;
    QHash<QByteArray, QByteArray> headers; // names in lower case
};

bool isToken(const QByteArray &text)
{
    static const QByteArray separators = QByteArrayLiteral("()<>@,;:\\\"/[]?={} \t");
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c > 32 && c < 127 && !separators.contains(c);
    });
}

// head: the request line and the header lines, each ending with CR LF.
bool parseRequest(const QByteArray &head, Request *request)
{
    QList<QByteArray> lines = head.split('\n');
    lines.removeLast(); // what follows the last line feed
    for (QByteArray &line : lines) {
        if (!line.endsWith('\r')) {
            return false;
        }
        line.chop(1);
    }
    const QList<QByteArray> first = lines.value(0).split(' ');
    if (first.size() != 3 || !isToken(first[0]) || !first[1].startsWith('/') ||
        (first[2] != "HTTP/1.1" && first[2] != "HTTP/1.0")) {
        return false;
    }
    request->method = first[0];
    request->path = first[1];
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon <= 0 || !isToken(lines[i].left(colon))) {
            return false;
        }
        request->headers.insert(lines[i].left(colon).toLower(), lines[i].mid(colon + 1).trimmed());
    }
    return true;
}

QByteArray contentType(const QString &name)
{
    if (name.endsWith(QLatin1String(".html"))) {
        return QByteArrayLiteral("text/html; charset=utf-8");
    }
    if (name.endsWith(QLatin1String(".css"))) {
        return QByteArrayLiteral("text/css; charset=utf-8");
    }
    if (name.endsWith(QLatin1String(".js"))) {
        return QByteArrayLiteral("text/javascript; charset=utf-8");
    }
    if (name.endsWith(QLatin1String(".svg"))) {
        return QByteArrayLiteral("image/svg+xml");
    }
    return QByteArrayLiteral("application/octet-stream");
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

// A page of another site must not listen in: the stream is given to pages that came from this
// player (or to programs that send no Origin), reached by an address or by this machine's own
// name, which a site cannot take over by pointing its own name at a local address.
bool isTrustedOrigin(const QByteArray &host, const QByteArray &origin)
{
    QString name = QString::fromLatin1(host).toLower();
    if (name.startsWith(QLatin1Char('['))) {
        name = name.mid(1, name.indexOf(QLatin1Char(']')) - 1);
    } else {
        name = name.section(QLatin1Char(':'), 0, 0);
    }
    // Exactly: a name that merely starts with the machine's (NAME.evil.example) is anyone's.
    const QString machine = QHostInfo::localHostName().toLower();
    const bool knownHost =
        !QHostAddress(name).isNull() || name == QLatin1String("localhost") ||
        (!machine.isEmpty() && (name == machine || name == machine + QLatin1String(".local")));
    return knownHost && (origin.isEmpty() || origin.toLower() == "http://" + host.toLower());
}
} // namespace

WebServer::WebServer(WebRelay &webRelay, QObject *parent)
    : QObject(parent)
    , relay(webRelay)
    , upgrader(QStringLiteral("plovarin-player"), QWebSocketServer::NonSecureMode)
{
    initWebResources();
    const QStringList names = QDir(kResourceFolder).entryList(QDir::Files);
    for (const QString &name : names) {
        files.insert("/" + name.toUtf8(), kResourceFolder + QLatin1Char('/') + name);
    }
    files.insert("/", kResourceFolder + QStringLiteral("/index.html"));
    connect(&server, &QTcpServer::newConnection, this, &WebServer::accept);
    connect(&upgrader, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket *socket = upgrader.nextPendingConnection()) {
            relay.addListener(socket);
        }
    });
    setLimits(limits);
}

WebServer::~WebServer()
{
    for (QTcpSocket *socket : qAsConst(connections)) {
        socket->disconnect(this);
    }
}

void WebServer::setLimits(const Limits &newLimits)
{
    limits = newLimits;
    upgrader.setHandshakeTimeout(limits.handshakeTimeoutMs);
    upgrader.setMaxPendingConnections(kMaxWebListeners);
}

bool WebServer::listen(const QHostAddress &address, quint16 port)
{
    return server.listen(address, port);
}

void WebServer::close()
{
    server.close();
    upgrader.close();
}

void WebServer::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        const QHostAddress peer = SourceGate::normalized(socket->peerAddress());
        if (perAddress.value(peer) >= limits.maxConnectionsPerAddress) {
            // Not worth an answer: whoever opens this many connections is not a page.
            emit refused(peer, 0, QStringLiteral("too many connections"));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (connections.size() >= limits.maxConnections) {
            // A page's request takes milliseconds, so the connection held longest is the one
            // to go, and the page being loaded now is served.
            QTcpSocket *oldest = connections.first();
            emit refused(SourceGate::normalized(oldest->peerAddress()), 0,
                         QStringLiteral("oldest connection closed for a new one"));
            release(oldest);
            oldest->abort();
        }
        connections.append(socket);
        ++perAddress[peer];
        // Nothing more than a request is ever read into memory.
        socket->setReadBufferSize(limits.maxRequestBytes + 1);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            release(socket);
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        // Also ends an answer that a peer does not take.
        QTimer::singleShot(limits.requestTimeoutMs, socket, [this, socket] {
            if (connections.contains(socket)) {
                socket->abort();
            }
        });
    }
}

void WebServer::release(QTcpSocket *socket)
{
    if (!connections.removeOne(socket)) {
        return;
    }
    const QHostAddress peer = SourceGate::normalized(socket->peerAddress());
    if (--perAddress[peer] <= 0) {
        perAddress.remove(peer);
    }
}

void WebServer::readRequest(QTcpSocket *socket)
{
    // Peeked, not read: an upgrade hands the request as it came to the WebSocket server.
    const QByteArray data = socket->peek(limits.maxRequestBytes + 1);
    const int space = data.indexOf(' ');
    if ((space < 0 && data.size() > kMaxMethodLength) || space > kMaxMethodLength ||
        !isToken(data.left(space < 0 ? data.size() : space))) {
        refuse(socket, 400, QStringLiteral("not an HTTP request"));
        return;
    }
    const int end = data.indexOf("\r\n\r\n");
    if (end < 0 || end + 4 > limits.maxRequestBytes) {
        if (data.size() > limits.maxRequestBytes) {
            refuse(socket, 431, QStringLiteral("request too large"));
        }
        return;
    }
    Request request;
    if (!parseRequest(data.left(end + 2), &request)) {
        refuse(socket, 400, QStringLiteral("malformed request"));
        return;
    }
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
        refuse(socket, 405, QStringLiteral("method %1").arg(QString::fromLatin1(request.method)));
        return;
    }
    // No decoding at all: the page's own paths need none, and nothing can climb out of them.
    const QByteArray path = request.path.split('?').first();
    if (path == kWebStreamPath && !head) {
        if (request.headers.value("upgrade").toLower() != "websocket") {
            refuse(socket, 400, QStringLiteral("the stream needs a WebSocket"));
        } else if (!isTrustedOrigin(request.headers.value("host"),
                                    request.headers.value("origin"))) {
            refuse(socket, 403,
                   QStringLiteral("a page from %1")
                       .arg(QString::fromLatin1(request.headers.value("origin"))));
        } else if (!relay.hasRoomFor(socket->peerAddress())) {
            refuse(socket, 503, QStringLiteral("no room for another listener"));
        } else {
            upgrade(socket);
        }
        return;
    }
    const QString resource = files.value(path);
    QFile file(resource);
    if (resource.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        refuse(socket, 404, QStringLiteral("no such file"));
        return;
    }
    answer(socket, 200, contentType(resource), file.readAll(), head);
}

void WebServer::answer(QTcpSocket *socket, int status, const QByteArray &type,
                       const QByteArray &body, bool headOnly)
{
    // What the peer still sends is read and dropped until the close: closing with unread data
    // would reset the connection, and the peer could lose the answer.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    socket->setReadBufferSize(0);
    socket->readAll();
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                          "\r\nContent-Type: " +
                          (type.isEmpty() ? QByteArrayLiteral("text/plain; charset=utf-8") : type) +
                          "\r\nContent-Length: " + QByteArray::number(body.size()) +
                          "\r\nConnection: close"
                          "\r\nCache-Control: no-cache"
                          "\r\nX-Content-Type-Options: nosniff"
                          "\r\nReferrer-Policy: no-referrer"
                          "\r\nContent-Security-Policy: default-src 'self'; connect-src 'self' "
                          "ws:; media-src 'self' blob:; frame-ancestors 'none'";
    if (status == 405) {
        response += "\r\nAllow: GET, HEAD";
    }
    response += "\r\n\r\n";
    if (!headOnly) {
        response += body;
    }
    socket->write(response);
    socket->disconnectFromHost();
}

void WebServer::refuse(QTcpSocket *socket, int status, const QString &reason)
{
    emit refused(SourceGate::normalized(socket->peerAddress()), status, reason);
    answer(socket, status, {}, reasonPhrase(status) + '\n');
}

void WebServer::upgrade(QTcpSocket *socket)
{
    release(socket);
    socket->disconnect(this);
    socket->setReadBufferSize(0);
    // What the system holds for a stalled listener is bounded too (a third of a second or so),
    // on top of the listener's own queue.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBufferBytes);
    // Each frame leaves at once: Nagle's algorithm against a browser's delayed acknowledgements
    // would hold frames back for 40 ms and send them in bunches.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    abortWhenPongsPileUp(socket, kMaxUnsentToListenerBytes);
    upgrader.handleConnection(socket);
}

} // namespace player
