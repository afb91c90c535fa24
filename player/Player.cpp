#include "Player.h"

#include "Discovery.h"
#include "LocalAddresses.h"
#include "OpusPacket.h"
#include "QrCode.h"
#include "ServiceAnnouncer.h"

#include <QAudioDeviceInfo>
#include <QNetworkInterface>
#include <QTcpServer>

#include <cstdlib>
#include <utility>

namespace player
{

namespace
{
constexpr int kStatusPeriodMs = 1000;
// A sender that does not answer the closing handshake is not waited for longer.
constexpr int kCloseTimeoutMs = 1000;
constexpr int kReopenPeriodMs = 2000;

QAudioDeviceInfo findOutput(const QString &name)
{
    if (name.isEmpty()) {
        return QAudioDeviceInfo::defaultOutputDevice();
    }
    const auto devices = QAudioDeviceInfo::availableDevices(QAudio::AudioOutput);
    for (const QAudioDeviceInfo &device : devices) {
        if (device.deviceName() == name) {
            return device;
        }
    }
    return {};
}

// Why a port of address cannot be bound, in words. Only a port in use hints at a second player.
QString bindFailure(QAbstractSocket::SocketError error, const QString &systemText,
                    const QHostAddress &address)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        return QStringLiteral("the port is in use (is another player running?)");
    case QAbstractSocket::SocketAddressNotAvailableError:
        return QStringLiteral("this computer has no address %1").arg(address.toString());
    default:
        return systemText;
    }
}
} // namespace

Player::Player(const PlayerOptions &playerOptions, QObject *parent)
    : QObject(parent)
    , options(playerOptions)
    , buffer(playerOptions.latencyMs)
    , receiver(buffer, [this] { return clock.elapsed(); })
    , playout(buffer, clock)
    , wav(kSampleRate)
{
    clock.start();
    playout.setBeforePull([this] { receiver.readPending(); });
    playout.setAudioCallback([this](const qint16 *block, int count, int streamSamples) {
        onAudio(block, count, streamSamples);
    });
    connect(&presence, &PresenceServer::sendersChanged, this,
            [this](const QList<QHostAddress> &senders) {
                receiver.setConnected(senders);
                relay.setSender(senders.value(0));
                // Each address once, however many connections it opens.
                for (const QHostAddress &sender : senders) {
                    if (!connectedSenders.contains(sender)) {
                        console.message(
                            QStringLiteral("sender %1 connected").arg(sender.toString()));
                    }
                }
                if (senders.isEmpty() && !connectedSenders.isEmpty()) {
                    console.message(QStringLiteral("no sender connected"));
                }
                connectedSenders = senders;
            });
    connect(&presence, &PresenceServer::senderConnected, &receiver,
            &StreamReceiver::expectNewStream);
    connect(&presence, &PresenceServer::closed, this, &Player::finish);
    connect(&receiver, &StreamReceiver::audioQueued, &playout, &Playout::wake);
    connect(&receiver, &StreamReceiver::streamStarted, this, [this](const QHostAddress &source) {
        console.message(QStringLiteral("playing %1").arg(source.toString()));
        guardAgainstFeedback(source);
        relay.setSource(source);
    });
    connect(&relay, &WebRelay::listenerJoined, this,
            [this](const QHostAddress &address, int count) {
                console.message(QStringLiteral("web page of %1 listening (%2 listening)")
                                    .arg(address.toString())
                                    .arg(count));
            });
    buffer.setPacketTap(
        [this](const QByteArray &packet, qint64 position) { calls.pushPacket(packet, position); });
    relay.setCallsAvailable(options.web && WebRtcListeners::isAvailable());
    connect(&relay, &WebRelay::callRequested, this,
            [this](quint64 id, const QHostAddress &localAddress) {
                QString reason;
                if (!calls.add(id, localAddress, &reason)) {
                    emit calls.failed(id, reason);
                }
            });
    connect(&relay, &WebRelay::callEnded, &calls, &WebRtcListeners::remove);
    connect(&relay, &WebRelay::callMessage, &calls, &WebRtcListeners::handleMessage);
    connect(&calls, &WebRtcListeners::sendMessage, &relay,
            [this](quint64 id, const QByteArray &message) { relay.sendToListener(id, message); });
    connect(&calls, &WebRtcListeners::connected, this, [this] {
        console.message(QStringLiteral("web page: a WebRTC call connected (%1 on calls)")
                            .arg(calls.connectedCount()));
    });
    connect(&calls, &WebRtcListeners::failed, this, [this](quint64 id, const QString &reason) {
        console.message(QStringLiteral("web page: a WebRTC call failed (%1); it gets the "
                                       "WebSocket's sound")
                            .arg(reason));
        relay.sendToListener(id, R"({"type":"webrtc-failed"})", true);
    });
    connect(&relay, &WebRelay::listenerLeft, this,
            [this](const QHostAddress &address, int count, qint64 dropped, quint64 id) {
                calls.remove(id);
                console.message(QStringLiteral("web page of %1 gone, %2 frames of 10 ms dropped "
                                               "for it (%3 listening)")
                                    .arg(address.toString())
                                    .arg(dropped)
                                    .arg(count));
            });
    // Told once a status period: a flood of bad requests must not flood the console too.
    connect(&web, &WebServer::refused, this,
            [this](const QHostAddress &peer, int status, const QString &reason) {
                ++webRefusals;
                lastWebRefusal =
                    QStringLiteral("%1 from %2%3")
                        .arg(reason, peer.toString())
                        .arg(status ? QStringLiteral(", answered %1").arg(status) : QString());
            });
    connect(&receiver, &StreamReceiver::invalidDatagram, this,
            [this](const QHostAddress &source, int bytes) {
                console.message(QStringLiteral("dropping datagrams that are not Opus packets of "
                                               "5, 10 or 20 ms (first: %1 bytes from %2)")
                                    .arg(bytes)
                                    .arg(source.toString()));
            });
    connect(&playout, &Playout::outputRunning, this, [this] {
        console.message(std::exchange(outputLost, false)
                            ? QStringLiteral("the output device is playing again")
                            : QStringLiteral("the output device is playing"));
    });
    // Queued: the failing output is deleted, which must not happen inside its own signal.
    connect(
        &playout, &Playout::playbackFailed, this,
        [this](const QString &reason) {
            // Each attempt to reopen may fail the same way; that goes unsaid.
            if (!std::exchange(outputLost, true)) {
                console.message(QStringLiteral("playback stopped: %1; trying again every %2 s")
                                    .arg(reason)
                                    .arg(kReopenPeriodMs / 1000));
            }
            // The stream goes on at the clock's pace, so the WAV file and the stream's end are
            // kept, until the device is back.
            playout.startClock();
            reopenTimer.start();
        },
        Qt::QueuedConnection);
    reopenTimer.setInterval(kReopenPeriodMs);
    connect(&reopenTimer, &QTimer::timeout, this, &Player::reopenOutput);
    statusTimer.setInterval(kStatusPeriodMs);
    connect(&statusTimer, &QTimer::timeout, this, &Player::updateStatus);
    durationTimer.setSingleShot(true);
    // A coarse timer may fire 5 % early, which would cut a recording short.
    durationTimer.setTimerType(Qt::PreciseTimer);
    connect(&durationTimer, &QTimer::timeout, this, [this] { stop(kExitOk); });
    closeTimeout.setSingleShot(true);
    connect(&closeTimeout, &QTimer::timeout, this, &Player::finish);
}

Player::~Player() = default;

void Player::reopenOutput()
{
    const QAudioDeviceInfo output = findOutput(options.device);
    if (output.isNull() || !playout.startPlayback(output)) {
        playout.startClock();
        return;
    }
    // The output tells when it plays; a sound server's connection may still fail.
    reopenTimer.stop();
}

int Player::fail(int code, const QString &message)
{
    std::fprintf(stderr, "plovarin-player: %s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
    return code;
}

int Player::start()
{
    QAudioDeviceInfo output;
    if (options.playback) {
        output = findOutput(options.device);
        if (output.isNull()) {
            return fail(kExitNoOutput,
                        options.device.isEmpty()
                            ? QStringLiteral("no audio output device (use --no-playback --wav "
                                             "<file> to write the sound to a file instead)")
                            : QStringLiteral("no output device named '%1' (--list-devices "
                                             "shows them)")
                                  .arg(options.device));
        }
    }
    if (options.announce && !options.interfaces.isEmpty()) {
        for (const QString &name : qAsConst(options.interfaces)) {
            if (halvern::discoveryInterfaces({name}).isEmpty()) {
                return fail(kExitUsage,
                            QStringLiteral("cannot announce on '%1': no such interface that is "
                                           "up and has an IPv4 address with multicast")
                                .arg(name));
            }
        }
    }
    const QString where = options.bindAddress == QHostAddress(QHostAddress::Any)
                              ? QStringLiteral("all addresses")
                              : options.bindAddress.toString();
    const auto portTaken = [&](const QString &what, quint16 port, const QString &why) {
        return fail(
            kExitPortInUse,
            QStringLiteral("cannot %1 port %2 of %3: %4").arg(what).arg(port).arg(where, why));
    };
    if (!receiver.bind(options.bindAddress)) {
        return portTaken(
            QStringLiteral("receive on UDP"), kStreamPort,
            bindFailure(receiver.error(), receiver.errorString(), options.bindAddress));
    }
    if (!presence.listen(options.bindAddress)) {
        // The WebSocket server keeps its socket's error code to itself; a plain one tells it.
        QTcpServer probe;
        probe.listen(options.bindAddress, kPresencePort);
        return portTaken(
            QStringLiteral("listen on TCP"), kPresencePort,
            bindFailure(probe.serverError(), presence.errorString(), options.bindAddress));
    }
    if (options.web && !web.listen(options.bindAddress, options.webPort)) {
        return portTaken(QStringLiteral("listen on TCP"), options.webPort,
                         bindFailure(web.serverError(), web.errorString(), options.bindAddress));
    }
    if (!options.wavPath.isEmpty() && !wav.open(options.wavPath)) {
        return fail(
            kExitFileError,
            QStringLiteral("cannot write '%1': %2").arg(options.wavPath, wav.errorString()));
    }
    if (options.playback) {
        if (!playout.startPlayback(output)) {
            return fail(kExitNoOutput, playout.errorString());
        }
    } else {
        playout.startClock();
    }
    if (options.announce) {
        startAnnouncing();
    }
    console.message(
        QStringLiteral("plovarin-player: receiving on UDP %1 and WebSocket %2 (%3), "
                       "%4, %5")
            .arg(kStreamPort)
            .arg(kPresencePort)
            .arg(where)
            .arg(options.latencyMs > 0 ? QStringLiteral("latency %1 ms").arg(options.latencyMs)
                                       : QStringLiteral("latency adapting from %1 ms")
                                             .arg(LevelControl::kInitialTargetMs))
            .arg(options.playback ? QStringLiteral("playing on %1").arg(output.deviceName())
                                  : QStringLiteral("no playback")));
    if (options.web) {
        startWeb();
    }
    if (options.durationSeconds > 0) {
        durationTimer.start(int(options.durationSeconds * 1000));
    }
    statusTimer.start();
    return kExitOk;
}

bool Player::startAnnouncing()
{
    halvern::Announcement announcement;
    announcement.serviceName = kServiceName;
    // The endpoint a sender connects to; the stream port is fixed beside it.
    announcement.port = kPresencePort;
    announcement.protocolType = com::morvenhal::halvern::ServicePublishMessage::WEBSOCKET;
    ServiceAnnouncer::Options announceOptions;
    announceOptions.interfaces = options.interfaces;
    announcer = std::make_unique<ServiceAnnouncer>(announcement, announceOptions);
    if (!announcer->start()) {
        // Not fatal: the sender's address can still be typed.
        console.message(QStringLiteral("not announcing: no network interface is up with IPv4 "
                                       "and multicast; type this computer's address in the "
                                       "sender"));
        return false;
    }
    return true;
}

void Player::startWeb()
{
    const QStringList urls = pageUrls(options.bindAddress, web.port());
    console.message(QStringLiteral("web page: %1").arg(urls.join(QStringLiteral("  "))));
    if (!console.isTerminal()) {
        return;
    }
    const QrCode code(urls.first().toUtf8());
    if (code.isNull()) {
        console.message(QStringLiteral("no QR code of the page: %1").arg(code.errorString()));
        return;
    }
    console.message(code.toTerminalText() + QStringLiteral("(%1)").arg(urls.first()));
}

void Player::guardAgainstFeedback(const QHostAddress &source)
{
    // A sender on this machine capturing what it plays would hear itself, louder each round.
    const bool mute = options.playback && !options.allowFeedback && isOwnAddress(source);
    playout.setMuted(mute);
    if (mute) {
        console.message(QStringLiteral("warning: the stream comes from this computer (%1), so "
                                       "it is not played here, or a sender capturing this "
                                       "computer's output would hear itself; --allow-feedback "
                                       "plays it anyway")
                            .arg(source.toString()));
    }
}

void Player::onAudio(const qint16 *block, int count, int streamSamples)
{
    Q_UNUSED(count);
    if (streamSamples > 0) {
        // Also after a pause of the same source, which starts no new stream: the pages say what
        // they hear.
        relay.setSource(receiver.currentSource());
    }
    relay.pushAudio(block, streamSamples);
    for (int i = 0; i < streamSamples; ++i) {
        periodPeak = std::max(periodPeak, std::abs(block[i]) / 32768.0);
    }
    if (wav.isOpen() && streamSamples > 0 && !wav.write(block, streamSamples)) {
        console.message(
            QStringLiteral("stopped writing '%1': %2").arg(options.wavPath, wav.errorString()));
        if (!options.playback) {
            stop(kExitFileError);
        }
    }
}

void Player::updateStatus()
{
    const StreamReceiver::Counters now = receiver.counters();
    const JitterBuffer::Stats &stats = buffer.stats();
    StatusFigures figures;
    if (buffer.isPlaying()) {
        figures.source = receiver.currentSource();
    }
    figures.connected = presence.senders().value(0);
    const double seconds = kStatusPeriodMs / 1000.0;
    figures.packetsPerSecond = (now.played - lastCounters.played) / seconds;
    figures.kilobitsPerSecond = (now.playedBytes - lastCounters.playedBytes) * 8 / 1000.0 / seconds;
    figures.concealed = stats.concealed;
    figures.dropped = stats.dropped;
    figures.rejected = now.invalid + now.foreign + stats.decodeErrors;
    figures.targetMs = buffer.targetMs();
    figures.delayMs = buffer.bufferedMs() + playout.queuedMs();
    figures.ratePpm = buffer.correctionPpm();
    relay.setPlayerDelayMs(buffer.bufferedMs());
    figures.peak = periodPeak;
    periodPeak = 0;
    lastCounters = now;
    if (figures.source.isNull() && wasPlaying) {
        console.message(QStringLiteral("the stream has ended; waiting for a sender"));
        relay.setSource({});
    }
    wasPlaying = !figures.source.isNull();
    if (webRefusals > 0) {
        console.message(QStringLiteral("web page: refused %1 request%2 (the last: %3)")
                            .arg(webRefusals)
                            .arg(webRefusals == 1 ? QString() : QStringLiteral("s"))
                            .arg(lastWebRefusal));
        webRefusals = 0;
    }
    console.status(statusText(figures));
}

void Player::stop(int code)
{
    if (stopping) {
        return;
    }
    stopping = true;
    exitCode = code;
    statusTimer.stop();
    durationTimer.stop();
    reopenTimer.stop();
    if (announcer) {
        announcer->stop();
    }
    closeTimeout.start(kCloseTimeoutMs);
    web.close();
    relay.closeAll();
    presence.closeAll();
}

void Player::finish()
{
    if (!stopping || finished_) {
        return;
    }
    finished_ = true;
    closeTimeout.stop();
    playout.stop();
    wav.close();
    console.finish();
    console.message(summary());
    emit finished(exitCode);
}

QString Player::summary() const
{
    const StreamReceiver::Counters c = receiver.counters();
    const JitterBuffer::Stats &s = buffer.stats();
    QString text = QStringLiteral("plovarin-player: %1 datagrams, %2 played, %3 invalid, %4 from "
                                  "other sources; %5 lost by the sender, %6 blocks concealed, %7 "
                                  "packets dropped, %8 skipped at a stream's start or an output "
                                  "gap; largest rate correction %9 ppm; %10 output underruns")
                       .arg(c.datagrams)
                       .arg(c.played)
                       .arg(c.invalid + s.decodeErrors)
                       .arg(c.foreign)
                       .arg(s.lost)
                       .arg(s.concealed)
                       .arg(s.dropped)
                       .arg(s.skipped)
                       .arg(s.largestCorrectionPpm, 0, 'f', 0)
                       .arg(playout.underruns());
    if (!options.wavPath.isEmpty()) {
        text += QStringLiteral("; %1 samples written to %2")
                    .arg(wav.samplesWritten())
                    .arg(options.wavPath);
    }
    return text;
}

} // namespace player
