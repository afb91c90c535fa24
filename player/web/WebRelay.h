#ifndef PLAYER_WEBRELAY_H
#define PLAYER_WEBRELAY_H

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <vector>

class QWebSocket;

namespace player
{

// The audio goes to pages in frames of 10 ms: a small step for the page's buffer, and few
// enough messages for a phone.
constexpr int kWebFrameSamples = 480;
constexpr int kMaxWebListeners = 16;
// One address may hold half the places, so that a single machine cannot take them all.
constexpr int kMaxWebListenersPerAddress = kMaxWebListeners / 2;
// Each listener's own queue: a stalled one loses its oldest audio beyond this.
constexpr int kWebQueueFrames = 25;

// Hands the audio the player takes from its buffer, and the player's state, to the listeners
// of the web page. Every listener has its own bounded queue and gets a frame only while little
// is still unsent on its connection, so a slow or stalled listener loses its own oldest audio
// and never holds up the player or the others.
//
// A binary message is one frame: its sequence number (32 bits, little-endian, counting every
// frame relayed, so a page sees what it missed) and the frame's samples (16-bit little-endian
// 48 kHz mono). A text message is the state, as JSON: {"state": "waiting"|"playing"|"stopped",
// "host": this machine's name, "source": address, "sourceName": name, "sender": address,
// "senderName": name, "playerDelayMs": ms, "webrtc": whether calls can be made}; it is sent on
// every change and once a second, so a page notices a dead connection. A name is there once
// known: this machine's own, or what a reverse lookup of the address found.
//
// A page sends small JSON text messages: {"type": "webrtc"} asks for a WebRTC call instead of
// the PCM frames, {"type": "pcm"} for the frames again, and the call's answer and candidates
// (passed on as callMessage). Each is at most kMaxIncomingBytes, at most a few a second.
class WebRelay : public QObject
{
    Q_OBJECT

public:
    explicit WebRelay(QObject *parent = nullptr);
    ~WebRelay() override;

    // Whether one more listener from address would be taken.
    bool hasRoomFor(const QHostAddress &address) const;
    // Takes over an open WebSocket of a page; closes it when there is no room.
    void addListener(QWebSocket *socket);
    int listenerCount() const { return int(listeners.size()); }

    // Samples of the stream, as the player takes them from its buffer.
    void pushAudio(const qint16 *samples, int count);
    // The stream's source; null while waiting for one.
    void setSource(const QHostAddress &source);
    // The first sender connected to the presence endpoint; null when none is.
    void setSender(const QHostAddress &sender);
    // The audio held in the player's own buffer, which pages add to their delay.
    void setPlayerDelayMs(double ms) { playerDelayMs = ms; }
    // Whether pages are offered calls.
    void setCallsAvailable(bool available) { callsAvailable = available; }
    // A text message for listener id's page; with pcm, the page gets the frames again.
    void sendToListener(quint64 id, const QByteArray &message, bool pcm = false);
    // Tells every page the player has stopped and closes their connections.
    void closeAll();

signals:
    void listenerJoined(const QHostAddress &address, int listeners);
    // The page of listener id wants a call, reaching the player at localAddress; or no more.
    void callRequested(quint64 id, const QHostAddress &localAddress);
    void callEnded(quint64 id);
    // The answer or a candidate of the page's call.
    void callMessage(quint64 id, const QJsonObject &message);
    // droppedFrames: what the listener lost because it did not keep up.
    void listenerLeft(const QHostAddress &address, int listeners, qint64 droppedFrames, quint64 id);

private:
    struct Listener;

    void broadcast(const QByteArray &frame);
    void flush(Listener &listener);
    void sendState();
    QByteArray stateMessage() const;
    // Starts finding the name of address, never blocking; the state follows when it is known.
    void learnName(const QHostAddress &address);
    QString nameOf(const QHostAddress &address) const;
    void remove(QWebSocket *socket);
    void receive(Listener &listener, const QString &text);

    std::vector<std::unique_ptr<Listener>> listeners;
    QByteArray pending; // little-endian samples short of a whole frame
    quint32 nextSequence = 0;
    QHostAddress source;
    QHostAddress sender;
    double playerDelayMs = 0;
    bool stopped = false;
    // Names by address text; empty while a lookup runs or when it found none.
    std::map<QString, QString> names;
    bool callsAvailable = false;
    quint64 nextId = 1;
    QTimer stateTimer;
};

} // namespace player

#endif // PLAYER_WEBRELAY_H
