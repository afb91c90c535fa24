#include "WebRelay.h"

#include "LocalAddresses.h"
#include "SourceGate.h"

#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QtEndian>
#include <QWebSocket>

#include <algorithm>

namespace player
{

namespace
{
constexpr int kStatePeriodMs = 1000;
constexpr int kFrameHeaderBytes = 4;
constexpr int kFrameBytes = kFrameHeaderBytes + kWebFrameSamples * 2;
// Unsent bytes on a connection beyond which audio frames wait in the listener's own queue.
constexpr qint64 kMaxUnsentAudioBytes = 4 * kFrameBytes;
// Pages send small JSON messages, the largest a call's answer (SDP of one audio line).
constexpr quint64 kMaxIncomingBytes = 8192;
// A call takes a request, an answer and a few candidates; a page sending more per second than
// this is not one.
constexpr int kMaxMessagesPerSecond = 20;
// Only the source and the sender are named; a few more are kept for when they come back.
constexpr std::size_t kMaxNames = 16;
// A DNS name's longest.
constexpr int kMaxNameChars = 253;
} // namespace

struct WebRelay::Listener {
    QWebSocket *socket; // deleted later, when it has gone
    QHostAddress address;
    quint64 id = 0;
    bool pcm = true;  // false while the page is on a call
    int messages = 0; // in this second
    std::deque<QByteArray> queue;
    qint64 dropped = 0;
};

WebRelay::WebRelay(QObject *parent)
    : QObject(parent)
{
    stateTimer.setInterval(kStatePeriodMs);
    connect(&stateTimer, &QTimer::timeout, this, [this] {
        // A page's messages are counted by the second, whatever else sends the state.
        for (const auto &listener : listeners) {
            listener->messages = 0;
        }
        sendState();
    });
    stateTimer.start();
}

WebRelay::~WebRelay()
{
    for (const auto &listener : listeners) {
        listener->socket->disconnect(this);
        listener->socket->abort();
        delete listener->socket;
    }
}

bool WebRelay::hasRoomFor(const QHostAddress &address) const
{
    const QHostAddress normal = SourceGate::normalized(address);
    const auto sameAddress = std::count_if(listeners.begin(), listeners.end(),
                                           [&](const auto &l) { return l->address == normal; });
    return !stopped && listeners.size() < std::size_t(kMaxWebListeners) &&
           sameAddress < kMaxWebListenersPerAddress;
}

void WebRelay::addListener(QWebSocket *socket)
{
    if (!hasRoomFor(socket->peerAddress())) {
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("no room"));
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        return;
    }
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(kMaxIncomingBytes);
    socket->setMaxAllowedIncomingMessageSize(kMaxIncomingBytes);
    auto listener = std::make_unique<Listener>();
    listener->socket = socket;
    listener->address = SourceGate::normalized(socket->peerAddress());
    listener->id = nextId++;
    Listener *raw = listener.get();
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this, raw](const QString &text) { receive(*raw, text); });
    listeners.push_back(std::move(listener));
    connect(socket, &QWebSocket::bytesWritten, this, [this, raw] { flush(*raw); });
    // Queued, so that no loop over the listeners sees one vanish under it.
    connect(
        socket, &QWebSocket::disconnected, this, [this, socket] { remove(socket); },
        Qt::QueuedConnection);
    socket->sendTextMessage(QString::fromUtf8(stateMessage()));
    emit listenerJoined(raw->address, listenerCount());
}

void WebRelay::remove(QWebSocket *socket)
{
    const auto found = std::find_if(listeners.begin(), listeners.end(),
                                    [socket](const auto &l) { return l->socket == socket; });
    if (found == listeners.end()) {
        return;
    }
    const QHostAddress address = (*found)->address;
    const qint64 dropped = (*found)->dropped;
    const quint64 id = (*found)->id;
    listeners.erase(found);
    socket->deleteLater();
    emit listenerLeft(address, listenerCount(), dropped, id);
}

void WebRelay::receive(Listener &listener, const QString &text)
{
    if (++listener.messages > kMaxMessagesPerSecond) {
        listener.socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                               QStringLiteral("too many messages"));
        return;
    }
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString type = message.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("webrtc") && callsAvailable) {
        listener.pcm = false;
        emit callRequested(listener.id, SourceGate::normalized(listener.socket->localAddress()));
    } else if (type == QLatin1String("pcm") || type == QLatin1String("webrtc")) {
        listener.pcm = true;
        emit callEnded(listener.id);
    } else if (type == QLatin1String("answer") || type == QLatin1String("candidate")) {
        emit callMessage(listener.id, message);
    }
}

void WebRelay::sendToListener(quint64 id, const QByteArray &message, bool pcm)
{
    for (const auto &listener : listeners) {
        if (listener->id == id) {
            listener->pcm = listener->pcm || pcm;
            listener->socket->sendTextMessage(QString::fromUtf8(message));
        }
    }
}

void WebRelay::pushAudio(const qint16 *samples, int count)
{
    if (count <= 0) {
        return;
    }
    const int start = pending.size();
    pending.resize(start + count * 2);
    qToLittleEndian<qint16>(samples, count, pending.data() + start);
    int offset = 0;
    while (pending.size() - offset >= kWebFrameSamples * 2) {
        QByteArray frame(kFrameBytes, Qt::Uninitialized);
        qToLittleEndian<quint32>(nextSequence++, frame.data());
        std::copy_n(pending.constData() + offset, kWebFrameSamples * 2,
                    frame.data() + kFrameHeaderBytes);
        offset += kWebFrameSamples * 2;
        broadcast(frame);
    }
    pending.remove(0, offset);
}

void WebRelay::broadcast(const QByteArray &frame)
{
    for (const auto &listener : listeners) {
        if (!listener->pcm) {
            continue; // it hears the call
        }
        // The frame's data is shared, not copied, between the queues.
        listener->queue.push_back(frame);
        if (listener->queue.size() > std::size_t(kWebQueueFrames)) {
            listener->queue.pop_front();
            ++listener->dropped;
        }
        flush(*listener);
    }
}

void WebRelay::flush(Listener &listener)
{
    while (!listener.queue.empty() && listener.socket->bytesToWrite() < kMaxUnsentAudioBytes &&
           listener.socket->state() == QAbstractSocket::ConnectedState) {
        listener.socket->sendBinaryMessage(listener.queue.front());
        listener.queue.pop_front();
    }
}

void WebRelay::setSource(const QHostAddress &newSource)
{
    if (newSource == source) {
        return;
    }
    source = newSource;
    // A new stream starts on whole frames of its own.
    pending.clear();
    learnName(source);
    sendState();
}

void WebRelay::setSender(const QHostAddress &newSender)
{
    if (newSender == sender) {
        return;
    }
    sender = newSender;
    learnName(sender);
    sendState();
}

void WebRelay::learnName(const QHostAddress &address)
{
    const QString key = address.toString();
    if (address.isNull() || names.count(key) != 0) {
        return;
    }
    if (names.size() >= kMaxNames) {
        names.clear();
    }
    if (isOwnAddress(address)) {
        // Also spares the resolver the loopback addresses tests stream from.
        names[key] = QSysInfo::machineHostName();
        return;
    }
    names[key] = QString();
    QHostInfo::lookupHost(key, this, [this, key](const QHostInfo &info) {
        const auto found = names.find(key);
        if (found == names.end() || info.error() != QHostInfo::NoError || info.hostName() == key) {
            return;
        }
        found->second = info.hostName().left(kMaxNameChars);
        sendState();
    });
}

QString WebRelay::nameOf(const QHostAddress &address) const
{
    const auto found = names.find(address.toString());
    return found == names.end() ? QString() : found->second;
}

QByteArray WebRelay::stateMessage() const
{
    QJsonObject state;
    state.insert(QStringLiteral("state"), stopped           ? QStringLiteral("stopped")
                                          : source.isNull() ? QStringLiteral("waiting")
                                                            : QStringLiteral("playing"));
    state.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    const auto insertAddress = [&](const QString &key, const QHostAddress &address) {
        if (!address.isNull()) {
            state.insert(key, address.toString());
            const QString name = nameOf(address);
            if (!name.isEmpty()) {
                state.insert(key + QStringLiteral("Name"), name);
            }
        }
    };
    insertAddress(QStringLiteral("source"), source);
    insertAddress(QStringLiteral("sender"), sender);
    state.insert(QStringLiteral("playerDelayMs"), qRound(playerDelayMs));
    state.insert(QStringLiteral("webrtc"), callsAvailable);
    return QJsonDocument(state).toJson(QJsonDocument::Compact);
}

void WebRelay::sendState()
{
    const QString message = QString::fromUtf8(stateMessage());
    for (const auto &listener : listeners) {
        // Small and rare: it goes whatever audio is queued, and says the connection is alive;
        // a listener that takes nothing gets the next once it takes again.
        if (listener->socket->bytesToWrite() < 2 * kMaxUnsentAudioBytes) {
            listener->socket->sendTextMessage(message);
        }
    }
}

void WebRelay::closeAll()
{
    stopped = true;
    stateTimer.stop();
    sendState();
    for (const auto &listener : listeners) {
        listener->socket->close(QWebSocketProtocol::CloseCodeGoingAway,
                                QStringLiteral("player stopped"));
    }
}

} // namespace player
