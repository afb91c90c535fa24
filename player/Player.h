#ifndef PLAYER_PLAYER_H
#define PLAYER_PLAYER_H

#include "Console.h"
#include "JitterBuffer.h"
#include "PlayerOptions.h"
#include "Playout.h"
#include "PresenceServer.h"
#include "StreamReceiver.h"
#include "WavWriter.h"
#include "WebRelay.h"
#include "WebRtcListeners.h"
#include "WebServer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

class ServiceAnnouncer;

namespace player
{

inline const QString kServiceName = QStringLiteral("com.morvenhal.plovarin.player");

// The receiver program: stream port, presence, playback, WAV file, announcement and status,
// from start to a clean end.
class Player : public QObject
{
    Q_OBJECT

public:
    explicit Player(const PlayerOptions &options, QObject *parent = nullptr);
    ~Player() override;

    // Sets everything up; kExitOk when running, else the exit code, with the reason printed.
    int start();
    // Ends cleanly: the senders' connections are closed, the WAV file completed; finished()
    // follows.
    void stop(int exitCode = kExitOk);

    const JitterBuffer &jitterBuffer() const { return buffer; }

signals:
    void finished(int exitCode);

private:
    int fail(int exitCode, const QString &message);
    bool startAnnouncing();
    void onAudio(const qint16 *block, int count, int streamSamples);
    void updateStatus();
    void reopenOutput();
    void finish();
    QString summary() const;
    void startWeb();
    void guardAgainstFeedback(const QHostAddress &source);

    PlayerOptions options;
    Console console;
    QElapsedTimer clock;
    JitterBuffer buffer;
    StreamReceiver receiver;
    PresenceServer presence;
    Playout playout;
    WavWriter wav;
    WebRelay relay;
    WebServer web{relay};
    WebRtcListeners calls;
    std::unique_ptr<ServiceAnnouncer> announcer;
    QTimer statusTimer;
    QTimer durationTimer;
    QTimer closeTimeout;
    QTimer reopenTimer;
    bool outputLost = false; // said once, until the output plays again
    int exitCode = kExitOk;
    bool stopping = false;
    bool finished_ = false;
    bool wasPlaying = false;
    double periodPeak = 0;
    StreamReceiver::Counters lastCounters;
    QList<QHostAddress> connectedSenders;
    int webRefusals = 0; // since the last status update
    QString lastWebRefusal;
};

} // namespace player

#endif // PLAYER_PLAYER_H
