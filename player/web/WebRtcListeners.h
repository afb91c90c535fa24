#ifndef PLAYER_WEBRTCLISTENERS_H
#define PLAYER_WEBRTCLISTENERS_H

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <map>
#include <memory>

namespace player
{

// The UDP ports the listeners' calls use, one per call (the audio, RTCP and DTLS share it).
constexpr quint16 kWebRtcFirstPort = 14220;
constexpr quint16 kWebRtcLastPort = 14251;

// Pages that listen over WebRTC: one GStreamer pipeline (appsrc ! rtpopuspay ! tee) carries the
// sender's own Opus packets, stamped with their place in the stream, to a queue and a webrtcbin
// per page. Signalling goes through the page's WebSocket as small JSON messages: the offer and
// the player's candidates out (sendMessage), the answer and the page's candidates in
// (handleMessage). Host candidates only, on the address the page reached the player at, on a
// fixed port range; no STUN, TURN or UPnP. With no page on WebRTC no pipeline runs.
//
// Built without GStreamer's WebRTC (PLOVARIN_WEBRTC undefined), isAvailable() is false and pages
// play the WebSocket's PCM.
class WebRtcListeners : public QObject
{
    Q_OBJECT

public:
    explicit WebRtcListeners(QObject *parent = nullptr);
    ~WebRtcListeners() override;

    // Whether calls can be made here: built with WebRTC and GStreamer's elements installed.
    static bool isAvailable();

    // Starts a call to listener id, reached at localAddress; false (with reason) when none can
    // be made. A listener's earlier call is replaced.
    bool add(quint64 id, const QHostAddress &localAddress, QString *reason = nullptr);
    void remove(quint64 id);
    // The page's answer ({"type": "answer", "sdp"}) or a candidate ({"type": "candidate",
    // "candidate", "sdpMLineIndex"}).
    void handleMessage(quint64 id, const QJsonObject &message);
    // One Opus packet at its place in the stream (48 kHz samples; a gap is audio lost).
    void pushPacket(const QByteArray &packet, qint64 position);
    int count() const { return int(peers.size()); }
    int connectedCount() const;

signals:
    // A JSON text message for the listener's page.
    void sendMessage(quint64 id, const QByteArray &message);
    // The call has failed and was removed; the page plays PCM instead.
    void failed(quint64 id, const QString &reason);
    void connected(quint64 id);

private:
    struct Pipeline;
    struct Peer;

    bool startPipeline(QString *reason);
    void stopPipeline();
    void pollBus();
    void onOffer(quint64 id, const QByteArray &sdp);
    void onStateChange(quint64 id, int state);
    void fail(quint64 id, const QString &reason);
    // Whether a message from GStreamer's threads concerns the call that is still id's.
    bool isCurrent(quint64 id, quint64 serial) const;

    std::unique_ptr<Pipeline> pipeline;
    std::map<quint64, std::unique_ptr<Peer>> peers;
    QTimer busTimer;
    QThreadPool stopping; // pipelines being stopped
};

} // namespace player

#endif // PLAYER_WEBRTCLISTENERS_H
