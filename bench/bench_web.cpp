// The web page's figures. The delay from a datagram's arrival at the player to the sound
// server's sink, over 20 tone bursts, for Chromium playing the page (under Xvfb, into a private
// PulseAudio server's null sink) over WebRTC and over the WebSocket's PCM (UDP blocked by
// nftables, so that the page falls back), beside the player playing into the same sink itself;
// with each page, the bytes per second the player sent it and Chromium's CPU. Then 1 % random
// loss on the link to the page (nftables), a tone of some seconds on each path, and the silent
// 10 ms blocks in the sink. Then the player's CPU time per second of audio while it relays to
// 0, 1, 4 and 8 WebSocket listeners.
// Run as root: it runs itself in a network namespace of its own, and adds nftables rules and an
// interface there.
// Usage: bench_web [seconds of audio per CPU run, default 10] [seconds per loss run, 120]
#include "BenchSupport.h"
#include "Signal.h"
#include "TestSupport.h"
#include "WebRtcUpnp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtEndian>
#include <QtTest>
#include <QWebSocket>

#include <opus.h>

#define GST_USE_UNSTABLE_API // webrtcbin's API is still marked unstable in Debian 12's GStreamer
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace
{

constexpr quint16 kStreamPort = 10493;
constexpr int kRate = 48000;
constexpr int kFrame = 960;
constexpr int kLeadInFrames = 100; // two seconds for the page or the device to settle
constexpr int kBursts = 20;
constexpr int kBurstFrames = 5; // 100 ms of a 1 kHz tone
constexpr int kPeriodFrames = 25;
// A burst has arrived in the sink at its first sample this loud (the tone's peak is 12000).
constexpr int kOnsetLevel = 4000;
const QString kSink = QStringLiteral("bench_sink");

struct EncoderFree {
    void operator()(OpusEncoder *encoder) const { opus_encoder_destroy(encoder); }
};

// Silence, then the bursts, then silence again, as one stream of 20 ms packets.
QList<QByteArray> burstStream()
{
    int error = OPUS_OK;
    const std::unique_ptr<OpusEncoder, EncoderFree> encoder(
        opus_encoder_create(kRate, 1, OPUS_APPLICATION_AUDIO, &error));
    if (!encoder) {
        std::fprintf(stderr, "no Opus encoder: %s\n", opus_strerror(error));
        return {};
    }
    QList<QByteArray> packets;
    const int frames = kLeadInFrames + kBursts * kPeriodFrames + kLeadInFrames;
    std::vector<opus_int16> pcm(kFrame);
    for (int f = 0; f < frames; ++f) {
        const int inPeriod = (f - kLeadInFrames) % kPeriodFrames;
        const bool tone =
            f >= kLeadInFrames && f < frames - kLeadInFrames && inPeriod < kBurstFrames;
        for (int i = 0; i < kFrame; ++i) {
            pcm[i] = tone ? opus_int16(12000 * std::sin(2 * M_PI * 1000 * i / kRate)) : 0;
        }
        QByteArray packet(1500, '\0');
        const int size = opus_encode(encoder.get(), pcm.data(), kFrame,
                                     reinterpret_cast<unsigned char *>(packet.data()), 1500);
        if (size < 0) {
            std::fprintf(stderr, "Opus encoding failed: %s\n", opus_strerror(size));
            return {};
        }
        packet.resize(size);
        packets << packet;
    }
    return packets;
}

bool isBurstStart(int frame)
{
    return frame >= kLeadInFrames && frame < kLeadInFrames + kBursts * kPeriodFrames &&
           (frame - kLeadInFrames) % kPeriodFrames == 0;
}

// Records the sink's monitor and keeps, for each piece read, when it was read: the sample at
// index k entered the sink no later than the piece that ends with it was read, so the earliest
// of (read time - position) places every sample on the clock.
class SinkRecorder
{
public:
    explicit SinkRecorder(const QElapsedTimer &clock)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this, &clock] {
            samples += process.readAllStandardOutput();
            startMs =
                std::min(startMs, clock.nsecsElapsed() / 1e6 - samples.size() / 2 * 1000.0 / kRate);
        });
        process.start("parec", {"--device=" + kSink + ".monitor", "--raw", "--format=s16le",
                                "--rate=48000", "--channels=1", "--latency-msec=5"});
    }
    ~SinkRecorder()
    {
        process.kill();
        process.waitForFinished();
    }
    // When the first sample at least level after fromMs entered the sink, or -1.
    double onsetMs(double fromMs, int level) const
    {
        const int first = std::max(0, int((fromMs - startMs) * kRate / 1000));
        for (int k = first; k < samples.size() / 2; ++k) {
            if (std::abs(qFromLittleEndian<qint16>(samples.constData() + 2 * k)) >= level) {
                return startMs + k * 1000.0 / kRate;
            }
        }
        return -1;
    }

private:
    QProcess process;
    QByteArray samples;
    double startMs = 1e18;
};

struct Delays {
    std::vector<double> ms;
    QString note;
};

// Sends the bursts to a player that is ready and measures when each reaches the sink.
Delays measure(const QList<QByteArray> &packets, const std::function<QString()> &noteAtEnd)
{
    QElapsedTimer clock;
    clock.start();
    SinkRecorder recorder(clock);
    QTest::qWait(500); // the recording runs before the first burst is sent
    std::vector<double> sent;
    sendPaced(packets, QHostAddress(QHostAddress::LocalHost), kStreamPort, 20, [&](int i) {
        if (isBurstStart(i)) {
            sent.push_back(clock.nsecsElapsed() / 1e6);
        }
        return false;
    });
    Delays delays;
    delays.note = noteAtEnd();
    QTest::qWait(1000); // the last burst reaches the sink
    for (const double sentMs : sent) {
        const double heardMs = recorder.onsetMs(sentMs, kOnsetLevel);
        if (heardMs >= 0) {
            delays.ms.push_back(heardMs - sentMs);
        }
    }
    std::sort(delays.ms.begin(), delays.ms.end());
    return delays;
}

void report(const char *name, const Delays &delays, double reference)
{
    if (delays.ms.empty()) {
        std::printf("%-34s no burst heard\n", name);
        return;
    }
    const double median = delays.ms[delays.ms.size() / 2];
    std::printf("%-34s median %5.0f ms, %4.0f to %4.0f ms (%zu bursts)", name, median,
                delays.ms.front(), delays.ms.back(), delays.ms.size());
    if (reference > 0) {
        std::printf(", %.2f x the player's own", median / reference);
    }
    std::printf("%s\n", qPrintable(delays.note.isEmpty() ? QString() : "; " + delays.note));
}

// What a run's listeners have each received, asked once the audio has gone; it holds them, and
// is empty when they did not connect.
using Received = std::function<qint64()>;

// The player's CPU time per second of audio while the listeners that listen() connects to it
// hear the packets; *receivedEach: what each of them got.
double cpuPerSecond(const QStringList &arguments, const QList<QByteArray> &packets,
                    const std::function<Received(PlayerProcess &)> &listen, qint64 *receivedEach)
{
    PlayerProcess player(arguments);
    if (!player.waitFor("web page:")) {
        return -1;
    }
    const Received received = listen(player);
    if (!received) {
        return -1;
    }
    const double before = bench::processCpuMs(player.process.processId());
    sendPaced(packets, QHostAddress(QHostAddress::LocalHost), kStreamPort);
    const double used = bench::processCpuMs(player.process.processId()) - before;
    *receivedEach = received();
    return used / (packets.size() * 0.02);
}

// Listeners of the WebSocket's PCM; each counts its 10 ms frames.
Received webSocketListeners(int listeners)
{
    auto sockets = std::make_shared<std::vector<std::unique_ptr<QWebSocket>>>();
    auto frames = std::make_shared<qint64>(0);
    for (int i = 0; i < listeners; ++i) {
        sockets->push_back(std::make_unique<QWebSocket>());
        QObject::connect(sockets->back().get(), &QWebSocket::binaryMessageReceived,
                         [frames] { ++*frames; });
        sockets->back()->open(QUrl("ws://127.0.0.1:14214/stream"));
    }
    if (!QTest::qWaitFor([&] {
            return std::all_of(sockets->begin(), sockets->end(), [](const auto &socket) {
                return socket->state() == QAbstractSocket::ConnectedState;
            });
        })) {
        return {};
    }
    return [sockets, frames, listeners] {
        return listeners > 0 ? *frames / listeners : 0;
    };
}

// A listener that answers the player's call with GStreamer's webrtcbin, as a browser would,
// and counts the RTP packets it gets: many of them cost far less than as many browsers.
class CallClient : public QObject
{
public:
    explicit CallClient(const QString &host)
    {
        pipeline = gst_pipeline_new(nullptr);
        webrtc = gst_element_factory_make("webrtcbin", nullptr);
        gst_util_set_object_arg(G_OBJECT(webrtc), "bundle-policy", "max-bundle");
        gst_bin_add(GST_BIN(pipeline), webrtc);
        GstWebRTCICE *ice = nullptr;
        g_object_get(webrtc, "ice-agent", &ice, nullptr);
        gboolean added = FALSE;
        g_signal_emit_by_name(ice, "add-local-ip-address", host.toUtf8().constData(), &added);
        gst_object_unref(ice);
        g_signal_connect(
            webrtc, "pad-added", G_CALLBACK(+[](GstElement *, GstPad *pad, gpointer data) {
                auto *self = static_cast<CallClient *>(data);
                GstElement *sink = gst_element_factory_make("fakesink", nullptr);
                g_object_set(sink, "sync", FALSE, "signal-handoffs", TRUE, nullptr);
                g_signal_connect(sink, "handoff",
                                 G_CALLBACK(+[](GstElement *, GstBuffer *, GstPad *, gpointer d) {
                                     ++static_cast<CallClient *>(d)->packets;
                                 }),
                                 self);
                gst_bin_add(GST_BIN(self->pipeline), sink);
                gst_element_sync_state_with_parent(sink);
                GstPad *sinkPad = gst_element_get_static_pad(sink, "sink");
                gst_pad_link(pad, sinkPad);
                gst_object_unref(sinkPad);
            }),
            this);
        g_signal_connect(
            webrtc, "on-ice-candidate",
            G_CALLBACK((+[](GstElement *, guint mline, gchar *candidate, gpointer data) {
                auto *self = static_cast<CallClient *>(data);
                const QJsonObject message{{"type", "candidate"},
                                          {"candidate", QString(candidate)},
                                          {"sdpMLineIndex", int(mline)}};
                QMetaObject::invokeMethod(
                    self, [self, message] { self->send(message); }, Qt::QueuedConnection);
            })),
            this);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        QObject::connect(&socket, &QWebSocket::textMessageReceived, this,
                         [this](const QString &text) { handle(text); });
        socket.open(QUrl("ws://" + host + ":14214/stream"));
    }
    ~CallClient() override
    {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }
    std::atomic<qint64> packets{0};

private:
    void send(const QJsonObject &message)
    {
        socket.sendTextMessage(QJsonDocument(message).toJson(QJsonDocument::Compact));
    }
    void handle(const QString &text)
    {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        const QString type = message["type"].toString();
        if (type.isEmpty() && !asked) {
            asked = true;
            send({{"type", "webrtc"}});
        } else if (type == "offer") {
            GstSDPMessage *sdp = nullptr;
            gst_sdp_message_new_from_text(message["sdp"].toString().toUtf8().constData(), &sdp);
            GstWebRTCSessionDescription *offer =
                gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
            g_signal_emit_by_name(webrtc, "set-remote-description", offer, nullptr);
            gst_webrtc_session_description_free(offer);
            GstPromise *promise = gst_promise_new_with_change_func(
                [](GstPromise *reply, gpointer data) {
                    auto *self = static_cast<CallClient *>(data);
                    GstWebRTCSessionDescription *answer = nullptr;
                    gst_structure_get(gst_promise_get_reply(reply), "answer",
                                      GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
                    gst_promise_unref(reply);
                    if (!answer) {
                        return;
                    }
                    player::disableUpnp(self->webrtc);
                    g_signal_emit_by_name(self->webrtc, "set-local-description", answer, nullptr);
                    gchar *sdpText = gst_sdp_message_as_text(answer->sdp);
                    const QJsonObject json{{"type", "answer"}, {"sdp", QString(sdpText)}};
                    g_free(sdpText);
                    gst_webrtc_session_description_free(answer);
                    QMetaObject::invokeMethod(
                        self, [self, json] { self->send(json); }, Qt::QueuedConnection);
                },
                this, nullptr);
            g_signal_emit_by_name(webrtc, "create-answer", nullptr, promise);
        } else if (type == "candidate") {
            g_signal_emit_by_name(webrtc, "add-ice-candidate",
                                  guint(message["sdpMLineIndex"].toInt()),
                                  message["candidate"].toString().toUtf8().constData());
        }
    }
    GstElement *pipeline;
    GstElement *webrtc;
    QWebSocket socket;
    bool asked = false;
};

// Calls that CallClients answer; each counts its RTP packets.
Received callListeners(PlayerProcess &player, int calls)
{
    // The player takes 8 listeners from one address: the others come from the veth's.
    auto clients = std::make_shared<std::vector<std::unique_ptr<CallClient>>>();
    for (int i = 0; i < calls; ++i) {
        clients->push_back(std::make_unique<CallClient>(i < 8 ? "127.0.0.1" : "10.214.0.1"));
    }
    if (calls > 0 && !player.waitFor(QStringLiteral("(%1 on calls)").arg(calls), 20000)) {
        return {};
    }
    return [clients, calls] {
        qint64 total = 0;
        for (const auto &client : *clients) {
            total += client->packets;
        }
        return calls > 0 ? total / calls : 0;
    };
}

// Silent 10 ms blocks in the sink between the tone's first and last block.
int silentBlocks(const QByteArray &raw)
{
    const QVector<float> samples = Signal::samples16(raw);
    std::vector<bool> loud;
    for (int at = 0; at + 480 <= samples.size(); at += 480) {
        loud.push_back(std::sqrt(Signal::totalEnergy(samples.mid(at, 480)) / 480) > 1000);
    }
    const auto first = std::find(loud.begin(), loud.end(), true);
    const auto last = std::find(loud.rbegin(), loud.rend(), true).base();
    return first < last ? int(std::count(first, last, false)) : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!bench::runInOwnNetworkNamespace(argc, argv)) {
        return 1;
    }
    QCoreApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 10;
    const int lossSeconds = argc > 2 ? std::max(5, atoi(argv[2])) : 120;
    PulseServer pulse;
    if (!pulse.start({{kSink}, {}, {}})) {
        std::fprintf(stderr, "no PulseAudio server: %s\n", qPrintable(pulse.errorString()));
        return 1;
    }
    const QList<QByteArray> bursts = burstStream();
    if (bursts.isEmpty()) {
        return 1;
    }

    std::printf("delay from a datagram's arrival at the player to the sink, %d bursts of a "
                "1 kHz tone:\n",
                kBursts);
    Delays own;
    {
        PlayerProcess player({"--no-announce", "--no-web", "--bind", "127.0.0.1", "--device", kSink,
                              "--allow-feedback"});
        if (!player.waitFor("the output device is playing", 15000)) {
            std::fprintf(stderr, "the player did not play: %s\n", qPrintable(player.output));
            return 1;
        }
        own = measure(bursts, [] { return QString(); });
    }
    report("the player playing itself", own, 0);
    addDeadEndRoute();
    struct Path {
        const char *name;
        QString block; // input rule that makes the page fall back
        QString says;
    };
    const Path paths[] = {
        {"the web page over WebRTC", "", "Sound over WebRTC"},
        {"the web page over the WebSocket", "udp dport != 10493 drop", "Sound over the WebSocket"}};
    for (const Path &path : paths) {
        PlayerProcess player({"--no-playback", "--no-announce", "--bind", "127.0.0.1"});
        Chromium browser;
        if (!bench::firewall(path.block, "") || !player.waitFor("web page:") ||
            !bench::startPage(browser, kSink, path.says)) {
            return 1;
        }
        const auto bytesBefore = bench::sentBytes();
        const double cpuBefore = bench::treeCpuMs(browser.browser.processId());
        const double playerBefore = bench::processCpuMs(player.process.processId());
        QElapsedTimer elapsed;
        elapsed.start();
        const Delays page = measure(bursts, [&] {
            return QStringLiteral("the page said \"%1\"")
                .arg(browser.evaluate("document.getElementById('delay').textContent").toString());
        });
        const double took = elapsed.elapsed() / 1000.0;
        const auto bytesAfter = bench::sentBytes();
        const qint64 bytes = path.block.isEmpty() ? bytesAfter.first - bytesBefore.first
                                                  : bytesAfter.second - bytesBefore.second;
        report(path.name, page, own.ms.empty() ? 0 : own.ms[own.ms.size() / 2]);
        std::printf("  on the wire to the page %.1f kbit/s (IP packets); Chromium's CPU %.1f %% "
                    "of a core, the player's %.1f %%\n",
                    bytes * 8 / 1000.0 / took,
                    (bench::treeCpuMs(browser.browser.processId()) - cpuBefore) / 10 / took,
                    (bench::processCpuMs(player.process.processId()) - playerBefore) / 10 / took);
    }

    std::printf("1 %% random loss on the link to the page, %d s of a tone on each path:\n",
                lossSeconds);
    for (const Path &path : paths) {
        PlayerProcess player({"--no-playback", "--no-announce", "--bind", "127.0.0.1"});
        Chromium browser;
        if (!bench::firewall(path.block, "") || !player.waitFor("web page:") ||
            !bench::startPage(browser, kSink, path.says) ||
            !bench::firewall(path.block, "udp sport 14220-14251 numgen random mod 100 < 1 drop\n"
                                         "tcp sport 14214 numgen random mod 100 < 1 drop")) {
            return 1;
        }
        QProcess recorder;
        recorder.start("parec", {"--device=" + kSink + ".monitor", "--raw", "--format=s16le",
                                 "--rate=48000", "--channels=1"});
        QTest::qWait(500);
        sendPaced(Signal::opusTone(lossSeconds * 50), QHostAddress(QHostAddress::LocalHost),
                  kStreamPort);
        QTest::qWait(1000);
        recorder.kill();
        recorder.waitForFinished();
        std::printf(
            "  %-32s %d silent blocks of %d; the page said \"%s\"\n", path.name,
            silentBlocks(recorder.readAllStandardOutput()), lossSeconds * 100,
            qPrintable(
                browser.evaluate("document.getElementById('delay').textContent").toString()));
    }
    bench::firewall("", "");

    std::printf("the player's CPU time per second of audio, relaying %d s of 20 ms packets:\n",
                seconds);
    const QList<QByteArray> tone = Signal::opusTone(seconds * 50);
    double alone = 0;
    for (const int listeners : {0, 1, 4, 8}) {
        qint64 framesEach = 0;
        const double cpu = cpuPerSecond(
            {"--no-playback", "--no-announce", "--bind", "127.0.0.1"}, tone,
            [listeners](PlayerProcess &) { return webSocketListeners(listeners); }, &framesEach);
        if (cpu < 0) {
            std::fprintf(stderr, "the player or its listeners did not start\n");
            return 1;
        }
        if (listeners == 0) {
            alone = cpu;
            std::printf("  %d listeners  %6.2f ms\n", listeners, cpu);
        } else {
            std::printf("  %d listener%s %6.2f ms, %.2f x alone, %+.2f ms per listener; each got "
                        "%lld frames of 10 ms\n",
                        listeners, listeners == 1 ? " " : "s", cpu, cpu / alone,
                        (cpu - alone) / listeners, framesEach);
        }
    }
    std::printf("the player's CPU time per second of audio with WebRTC calls (GStreamer's "
                "webrtcbin answering), %d s of 20 ms packets:\n",
                seconds);
    gst_init(nullptr, nullptr);
    for (const int calls : {0, 1, 4, 8, 16}) {
        qint64 packetsEach = 0;
        const double cpu = cpuPerSecond(
            {"--no-playback", "--no-announce"}, tone,
            [calls](PlayerProcess &player) { return callListeners(player, calls); }, &packetsEach);
        if (cpu < 0) {
            std::fprintf(stderr, "the calls did not connect\n");
            return 1;
        }
        if (calls == 0) {
            alone = cpu;
        }
        std::printf("  %2d calls  %6.2f ms, %.2f x none; each got %lld RTP packets\n", calls, cpu,
                    cpu / alone, packetsEach);
    }
    return 0;
}
