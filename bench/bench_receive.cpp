// CPU and memory of plovarin-player beside a GStreamer receive pipeline (udpsrc ! opusdec !
// pulsesink, GStreamer's default buffers) playing the same stream at the same time: 20 ms Opus
// packets of a tone, each sent in real time to both ports on 127.0.0.1, each receiver playing
// into a null sink of its own on a private PulseAudio server. Then each receiver alone, for the
// sound server's share, and GStreamer alone once more with the player's own output buffer.
// Last, pacat playing silence with the player's output buffer: what that buffer alone costs a
// client of the sound server, whatever the client does; and the player with no stream.
// First, a few seconds recorded off both sinks show that both really play the tone.
// Usage: bench_receive [seconds per run, default 20] [runs, default 3]
#include "BenchSupport.h"
#include "Signal.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>

using namespace bench;

namespace
{

constexpr quint16 kPlayerPort = 10493;
constexpr quint16 kGstPort = 10495;
constexpr int kFrameMs = 20;
constexpr int kWarmUpMs = 2000;
constexpr int kCheckMs = 3000;
const QString kPlayerSink = QStringLiteral("player_sink");
const QString kGstSink = QStringLiteral("gst_sink");
const QString kGstReceiver =
    QStringLiteral("udpsrc port=%1 caps=audio/x-opus,channel-mapping-family=0,channels=1,"
                   "rate=48000 ! opusdec ! pulsesink device=%2%3");
// The player's own output buffer (20 ms, asked for 5 ms at a time), which GStreamer plays only
// unsynchronised: its clock-synchronised sink stalls on buffers this small without a queue.
const QString kGstPlayersBuffer = QStringLiteral(" buffer-time=20000 latency-time=5000 sync=false");

struct Figures {
    double playerCpu = -1; // % of one core
    double gstCpu = -1;
    double serverCpu = -1;
    QByteArray playerMemory; // RSS / peak
    QByteArray gstMemory;
    QString playerSummary;
};

// Sends the packets one every 20 ms, each to every port on 127.0.0.1.
void sendToAll(QUdpSocket &socket, const QList<QByteArray> &packets, const QList<quint16> &ports)
{
    QElapsedTimer clock;
    clock.start();
    for (int next = 0; next < packets.size();) {
        if (clock.elapsed() < qint64(next) * kFrameMs) {
            QThread::usleep(500);
            continue;
        }
        for (const quint16 port : ports) {
            socket.writeDatagram(packets.at(next), QHostAddress::LocalHost, port);
        }
        ++next;
    }
}

double percent(double cpuMsBefore, double cpuMsAfter, qint64 wallMs)
{
    return cpuMsBefore < 0 || cpuMsAfter < 0 ? -1 : 100.0 * (cpuMsAfter - cpuMsBefore) / wallMs;
}

QByteArray memory(qint64 pid)
{
    return processStatus(pid, "VmRSS:") + " / " + processStatus(pid, "VmHWM:");
}

std::unique_ptr<PlayerProcess> startPlayer()
{
    auto player = std::make_unique<PlayerProcess>(
        QStringList{"--no-announce", "--allow-feedback", "--device", kPlayerSink});
    if (!player->waitFor(QStringLiteral("the output device is playing"))) {
        std::fprintf(stderr, "the player did not start: %s%s\n", qPrintable(player->output),
                     qPrintable(player->errors));
        return {};
    }
    return player;
}

// Plays the packets on the receivers asked for, and measures them over all but the warm-up.
Figures play(bool withPlayer, bool withGst, const QList<QByteArray> &packets, PulseServer &pulse,
             const QString &gstSinkSettings = {})
{
    Figures figures;
    std::unique_ptr<PlayerProcess> player;
    Program gst;
    QList<quint16> ports;
    if (withPlayer) {
        player = startPlayer();
        if (!player) {
            return figures;
        }
        ports << kPlayerPort;
    }
    if (withGst) {
        if (!gst.start(QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0")),
                       QStringList{"-q"} + kGstReceiver.arg(kGstPort)
                                               .arg(kGstSink, gstSinkSettings)
                                               .split(QLatin1Char(' ')))) {
            return figures;
        }
        ports << kGstPort;
    }
    spin(1000); // the pipeline's start
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0)) {
        std::fprintf(stderr, "cannot bind a socket on 127.0.0.1\n");
        return figures;
    }
    const int warmUp = kWarmUpMs / kFrameMs;
    sendToAll(socket, packets.mid(0, warmUp), ports);
    QElapsedTimer wall;
    wall.start();
    const qint64 playerPid = player ? player->process.processId() : 0;
    const double player0 = player ? processCpuMs(playerPid) : -1;
    const double gst0 = withGst ? processCpuMs(gst.processId()) : -1;
    const double server0 = processCpuMs(pulse.processId());
    sendToAll(socket, packets.mid(warmUp), ports);
    const qint64 wallMs = wall.elapsed();
    figures.serverCpu = percent(server0, processCpuMs(pulse.processId()), wallMs);
    if (withGst) {
        figures.gstCpu = percent(gst0, processCpuMs(gst.processId()), wallMs);
        figures.gstMemory = memory(gst.processId());
    }
    if (player) {
        figures.playerCpu = percent(player0, processCpuMs(playerPid), wallMs);
        figures.playerMemory = memory(playerPid);
        player->stop(SIGINT);
        figures.playerSummary = player->output.section(QLatin1Char('\n'), -2, -2);
    }
    return figures;
}

// The CPU of the process and of the sound server over the next ms.
Figures measure(qint64 pid, PulseServer &pulse, int ms)
{
    Figures figures;
    const double process0 = processCpuMs(pid);
    const double server0 = processCpuMs(pulse.processId());
    QElapsedTimer wall;
    wall.start();
    spin(ms);
    figures.playerCpu = percent(process0, processCpuMs(pid), wall.elapsed());
    figures.serverCpu = percent(server0, processCpuMs(pulse.processId()), wall.elapsed());
    return figures;
}

// pacat playing silence into the player's sink with the player's output buffer, for the given
// time after a second's start: its CPU and the sound server's.
Figures playSilence(int ms, PulseServer &pulse)
{
    Program pacat;
    if (!pacat.start(QStringLiteral("pacat"),
                     {"--playback", "--raw", "--device=" + kPlayerSink, "--format=s16le",
                      "--rate=48000", "--channels=1", "--latency-msec=20", "--process-time-msec=5",
                      "/dev/zero"})) {
        return {};
    }
    spin(1000);
    return measure(pacat.processId(), pulse, ms);
}

// The player with no stream, over ms after two seconds' start.
Figures idle(int ms, PulseServer &pulse)
{
    const std::unique_ptr<PlayerProcess> player = startPlayer();
    if (!player) {
        return {};
    }
    spin(2000);
    const qint64 pid = player->process.processId();
    Figures figures = measure(pid, pulse, ms);
    figures.playerMemory = memory(pid);
    player->stop(SIGINT);
    return figures;
}

// How long each sink played, and the level of a second in the middle, against the original's.
void checkBothPlay(const QList<QByteArray> &packets, PulseServer &pulse, const QString &folder)
{
    const QString sinks[2] = {kPlayerSink, kGstSink};
    Program recorders[2];
    for (int i = 0; i < 2; ++i) {
        recorders[i].process.setStandardOutputFile(folder + "/" + sinks[i] + ".raw");
        recorders[i].start(QStringLiteral("parec"),
                           {"--raw", "--device=" + sinks[i] + ".monitor", "--format=s16le",
                            "--rate=48000", "--channels=1"});
    }
    play(true, true, packets.mid(0, (kWarmUpMs + kCheckMs) / kFrameMs), pulse);
    const auto level = [](const QVector<float> &samples) {
        const auto loud = [](float x) {
            return std::abs(x) > 1000;
        };
        const qint64 first =
            std::find_if(samples.cbegin(), samples.cend(), loud) - samples.cbegin();
        const qint64 last =
            samples.crend() - std::find_if(samples.crbegin(), samples.crend(), loud);
        const QVector<float> middle =
            samples.mid(int(std::max<qint64>(first, (first + last) / 2 - 24000)), 48000);
        float peak = 0;
        for (const float x : middle) {
            peak = std::max(peak, std::abs(x));
        }
        std::printf("%5.1f s of sound, RMS %5.0f, peak %5.0f\n",
                    std::max<qint64>(0, last - first) / 48000.0,
                    std::sqrt(Signal::totalEnergy(middle) / std::max(1, int(middle.size()))),
                    double(peak));
    };
    std::printf("%-22s", "sent (decoded)");
    level(Signal::decodeAll(packets.mid(0, (kWarmUpMs + kCheckMs) / kFrameMs)));
    for (int i = 0; i < 2; ++i) {
        recorders[i].stop();
        QFile file(folder + "/" + sinks[i] + ".raw");
        file.open(QIODevice::ReadOnly);
        const QByteArray bytes = file.readAll();
        QVector<float> samples(bytes.size() / 2);
        for (int n = 0; n < samples.size(); ++n) {
            samples[n] = qFromLittleEndian<qint16>(bytes.constData() + 2 * n);
        }
        std::printf("%-22s", qPrintable(sinks[i] + " (recorded)"));
        level(samples);
    }
}

QByteArray cpu(double value)
{
    return value < 0 ? QByteArray("-") : QByteArray::number(value, 'f', 2);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!bench::runInOwnNetworkNamespace(argc, argv)) {
        return 1;
    }
    QCoreApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0")).isEmpty()) {
        std::fprintf(stderr, "gst-launch-1.0 is not installed (gstreamer1.0-tools)\n");
        return 1;
    }
    PulseServer pulse;
    const QString rate = QStringLiteral(" rate=48000");
    if (!pulse.start({{kPlayerSink + rate, kGstSink + rate}, {}, {}})) {
        std::fprintf(stderr, "no PulseAudio server: %s\n", qPrintable(pulse.errorString()));
        return 1;
    }
    QTemporaryDir dir;
    const QList<QByteArray> packets = Signal::opusTone((kWarmUpMs / 1000 + seconds) * 50);
    checkBothPlay(packets, pulse, dir.path());

    std::printf("CPU in %% of one core over %d s of 20 ms packets (after %d s), both receivers fed "
                "each packet at once; memory VmRSS / VmHWM; the sound server with the "
                "receivers that ran\n",
                seconds, kWarmUpMs / 1000);
    std::printf("%3s  %-13s %7s %7s %8s %7s  %-21s %-21s\n", "run", "receivers", "player", "gst",
                "player/", "server", "player memory", "gst memory");
    std::printf("%3s  %-13s %7s %7s %8s %7s\n", "", "", "", "", "gst", "");
    for (int run = 1; run <= runs; ++run) {
        const Figures both = play(true, true, packets, pulse);
        const Figures player = play(true, false, packets, pulse);
        const Figures gst = play(false, true, packets, pulse);
        const Figures gstSmall = play(false, true, packets, pulse, kGstPlayersBuffer);
        const Figures silence = playSilence(seconds * 1000, pulse);
        const Figures idlePlayer = idle(seconds * 1000, pulse);
        const auto row = [run](const char *name, const Figures &f) {
            std::printf("%3d  %-13s %7s %7s %8s %7s  %-21s %-21s\n", run, name,
                        cpu(f.playerCpu).constData(), cpu(f.gstCpu).constData(),
                        f.playerCpu >= 0 && f.gstCpu > 0
                            ? QByteArray::number(f.playerCpu / f.gstCpu, 'f', 2).constData()
                            : "-",
                        cpu(f.serverCpu).constData(), f.playerMemory.constData(),
                        f.gstMemory.constData());
        };
        row("both", both);
        row("player alone", player);
        row("gst alone", gst);
        row("gst, 20 ms", gstSmall);
        std::printf("     pacat playing silence with the player's output buffer: %s (server %s)\n",
                    cpu(silence.playerCpu).constData(), cpu(silence.serverCpu).constData());
        std::printf("     the player with no stream: %s (server %s)\n",
                    cpu(idlePlayer.playerCpu).constData(), cpu(idlePlayer.serverCpu).constData());
        std::printf("     player: %s\n", qPrintable(both.playerSummary));
        std::fflush(stdout);
    }
    std::printf("load averages at the end: %s\n", loadAverages().constData());
    return 0;
}
