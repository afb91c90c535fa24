// The delay from sound to sound: tone bursts played into the sender's sink of a private PulseAudio
// server, to the same bursts on the sink the receiver plays into. Paths: the window streaming to
// plovarin-player, at the player's default (adaptive) target and at --latency 20; the player's
// web page in Chromium (under Xvfb) playing the same stream over WebRTC (the page there before
// the stream starts, or joining it) and, with UDP to the player blocked by nftables, over the
// WebSocket's PCM; a tuned GStreamer pair (pulsesrc ! opusenc ! rtpopuspay ! udpsink, udpsrc !
// rtpjitterbuffer ! rtpopusdepay ! opusdec ! pulsesink), synchronised to its clock and not; and
// the sound server's own path from the one sink to the other (pulsesrc ! pulsesink), the floor
// of any. Both sinks are remapped onto the two channels of one null sink whose monitor is
// recorded, so that a burst's entry and its arrival are read off one clock, sample by sample.
// Reports per path the median and range of the delays, the glitches heard in the music under the
// bursts, the ratio to each GStreamer pair, and the player's (or the page's) own figures; the
// whole comparison runs several rounds, to show whether the figures hold from one to the next.
// Run as root: it runs itself in a network namespace of its own, and adds nftables rules and an
// interface there.
// Usage: bench_sound_to_sound [bursts, default 20] [rounds, default 3] [only the paths whose
// names hold this text]
#include "BenchSupport.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <random>
#include <vector>

using namespace bench;

namespace
{

constexpr int kRate = 48000;
constexpr int kSamplesPerMs = kRate / 1000;
const QString kProbe = QStringLiteral("probe");
const QString kSenderSink = QStringLiteral("sender_sink");
const QString kPlayerSink = QStringLiteral("player_sink");
constexpr quint16 kGstPort = 10495;

constexpr int kLeadInMs = 2000;
constexpr int kBurstMs = 50;
constexpr double kBurstHz = 1000;
constexpr double kBurstAmplitude = 20000;
// Bursts come this far apart, plus up to a frame at random, so that they meet the senders'
// frames and the sound server's blocks at every phase.
constexpr int kBurstPeriodMs = 600;
constexpr int kBurstJitterMs = 20;
// Quiet, steady music under the bursts: the coders never see silence, and a dropout on the
// receiving side shows as a block without it.
constexpr double kMusicAmplitudes[] = {1200, 800};
constexpr double kMusicHz[] = {196.0, 293.7};
constexpr int kOnsetThreshold = 8000;
constexpr int kOnsetQuietMs = 100;
// A glitch: a 10 ms block of the music, away from the bursts, that is silent or holds a step
// between samples of several times the music's largest (about 62).
constexpr int kBlockMs = 10;
constexpr int kSilentPeak = 200;
constexpr int kGlitchStep = 250;
constexpr int kBurstGuardMs = 40;

// The tuned pair, 20 ms frames, with the smallest buffers with which it played without a
// glitch here three rounds running: synchronised to the clock, with a jitter buffer of 5 ms; or
// not (sync=false), where the sink's buffer alone stands between the network and the sound
// server.
const QString kGstSender =
    QStringLiteral("pulsesrc device=%1.monitor buffer-time=20000 latency-time=5000 ! "
                   "audioconvert ! audioresample ! audio/x-raw,rate=48000,channels=1 ! "
                   "opusenc frame-size=20 ! rtpopuspay ! udpsink host=127.0.0.1 port=%2 "
                   "sync=false async=false");
const QString kGstReceiver =
    QStringLiteral("udpsrc port=%1 caps=application/x-rtp,media=audio,encoding-name=OPUS,"
                   "clock-rate=48000,payload=96 ! rtpjitterbuffer latency=5 ! rtpopusdepay ! "
                   "opusdec ! audioconvert ! audioresample ! pulsesink device=%2 %3");
const QString kSynchronisedSink = QStringLiteral("buffer-time=20000 latency-time=5000");
const QString kUnsynchronisedSink =
    QStringLiteral("buffer-time=30000 latency-time=10000 sync=false");
// The sound server's part of the unsynchronised pair's path: capture from the one sink, play
// into the other.
const QString kGstLoop =
    QStringLiteral("pulsesrc device=%1.monitor buffer-time=20000 latency-time=5000 ! "
                   "pulsesink device=%2 buffer-time=30000 latency-time=10000 sync=false");

enum class Kind { Player, Page, GstPair, SoundServer };

struct Path {
    const char *name;
    Kind kind;
    // The player's; for a page, the firewall's input rule, the path the page must name and
    // whether it joins a running stream; or
    // the settings of the GStreamer pair's sink.
    QStringList arguments;
};

struct Measurement {
    std::vector<double> delaysMs;
    int missed = 0;
    int glitches = 0;
    QString playerFigures; // target and delay the player (or the page) reported of itself
    bool ran = false;
};

// Music for the lead-in, then the bursts; mono 16-bit raw audio.
QByteArray burstSignal(int bursts, std::minstd_rand &random)
{
    std::vector<qint64> starts;
    qint64 at = qint64(kLeadInMs) * kSamplesPerMs;
    for (int i = 0; i < bursts; ++i) {
        starts.push_back(at);
        at += (kBurstPeriodMs + qint64(random() % kBurstJitterMs)) * kSamplesPerMs;
    }
    const qint64 total = at + qint64(kBurstPeriodMs) * kSamplesPerMs;
    QByteArray audio(int(total * 2), Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(audio.data());
    size_t next = 0;
    for (qint64 n = 0; n < total; ++n) {
        const double t = double(n) / kRate;
        double value = 0;
        for (size_t i = 0; i < std::size(kMusicHz); ++i) {
            value += kMusicAmplitudes[i] * std::sin(2 * M_PI * kMusicHz[i] * t);
        }
        while (next < starts.size() && n >= starts[next] + kBurstMs * kSamplesPerMs) {
            ++next;
        }
        if (next < starts.size() && n >= starts[next]) {
            value +=
                kBurstAmplitude * std::sin(2 * M_PI * kBurstHz * double(n - starts[next]) / kRate);
        }
        out[n] = qint16(std::lround(value));
    }
    return audio;
}

qint16 sampleAt(const QByteArray &stereo, qint64 frame, int channel)
{
    return qFromLittleEndian<qint16>(stereo.constData() + (frame * 2 + channel) * 2);
}

// Frames of the recording where a burst starts on channel: the first sample above the threshold
// after a quiet spell.
std::vector<qint64> onsets(const QByteArray &stereo, int channel)
{
    std::vector<qint64> found;
    qint64 lastLoud = -kOnsetQuietMs * kSamplesPerMs;
    const qint64 frames = stereo.size() / 4;
    for (qint64 n = 0; n < frames; ++n) {
        if (std::abs(int(sampleAt(stereo, n, channel))) >= kOnsetThreshold) {
            if (n - lastLoud >= kOnsetQuietMs * kSamplesPerMs) {
                found.push_back(n);
            }
            lastLoud = n;
        }
    }
    return found;
}

// Glitches on the receiving side between its first and last burst.
int glitchBlocks(const QByteArray &stereo, const std::vector<qint64> &bursts)
{
    int glitches = 0;
    const qint64 block = kBlockMs * kSamplesPerMs;
    auto burst = bursts.begin();
    for (qint64 start = bursts.front(); start + block <= bursts.back(); start += block) {
        while (burst != bursts.end() &&
               *burst + (kBurstMs + kBurstGuardMs) * kSamplesPerMs < start) {
            ++burst;
        }
        if (burst != bursts.end() && *burst < start + block + kBurstGuardMs * kSamplesPerMs) {
            continue;
        }
        int peak = 0;
        int step = 0;
        for (qint64 n = start; n < start + block; ++n) {
            const int sample = sampleAt(stereo, n, 1);
            peak = std::max(peak, std::abs(sample));
            step = std::max(step, std::abs(sample - sampleAt(stereo, n - 1, 1)));
        }
        glitches += peak < kSilentPeak || step > kGlitchStep ? 1 : 0;
    }
    return glitches;
}

Measurement analyse(const QByteArray &stereo)
{
    Measurement result;
    result.ran = true;
    const std::vector<qint64> sent = onsets(stereo, 0);
    const std::vector<qint64> heard = onsets(stereo, 1);
    for (const qint64 at : sent) {
        const auto match = std::lower_bound(heard.begin(), heard.end(), at);
        if (match != heard.end() && *match - at < kBurstPeriodMs * kSamplesPerMs) {
            result.delaysMs.push_back(double(*match - at) / kSamplesPerMs);
        } else {
            ++result.missed;
        }
    }
    if (!heard.empty()) {
        result.glitches = glitchBlocks(stereo, heard);
    }
    return result;
}

// Starts the path's receiver and sender, waits for its stream, plays the bursts while recording
// both sinks, and reads the delays off the recording.
Measurement measure(const Path &path, const QString &signalFile, const QString &recordingFile)
{
    Measurement failed;
    const QString gst = QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0"));
    const auto gstArguments = [](const QString &pipeline) {
        return QStringList{QStringLiteral("-q")} + pipeline.split(QLatin1Char(' '));
    };
    std::unique_ptr<PlayerProcess> player;
    Chromium browser;
    Program receiver;
    Program sender;
    if (!bench::firewall(path.kind == Kind::Page ? path.arguments.value(0) : QString(), "")) {
        std::fprintf(stderr, "%s: nft failed (run as root in a namespace of its own)\n", path.name);
        return failed;
    }
    if (path.kind == Kind::Page) {
        // The player plays nothing itself: the page, into the player's sink, is the listener.
        player = std::make_unique<PlayerProcess>(
            QStringList{"--no-announce", "--no-playback", "--allow-feedback"});
        // The page is there before the stream, or joins it once it runs (a phone's usual case).
        const bool joins = path.arguments.value(2) == QLatin1String("joins");
        if (!player->waitFor(QStringLiteral("web page:")) ||
            (!joins && !bench::startPage(browser, kPlayerSink, path.arguments.value(1))) ||
            !startWindow(sender, kSenderSink + QStringLiteral(".monitor"),
                         QStringLiteral("127.0.0.1")) ||
            !player->waitFor(QStringLiteral("playing 127.0.0.1"), 20000) ||
            (joins && !bench::startPage(browser, kPlayerSink, path.arguments.value(1)))) {
            std::fprintf(stderr, "%s: no stream: %s%s\n", path.name, qPrintable(player->output),
                         qPrintable(player->errors));
            return failed;
        }
    } else if (path.kind == Kind::Player) {
        player = std::make_unique<PlayerProcess>(
            QStringList{"--no-announce", "--allow-feedback", "--device", kPlayerSink} +
            path.arguments);
        if (!player->waitFor(QStringLiteral("receiving on")) ||
            !startWindow(sender, kSenderSink + QStringLiteral(".monitor"),
                         QStringLiteral("127.0.0.1")) ||
            !player->waitFor(QStringLiteral("playing 127.0.0.1"), 20000)) {
            std::fprintf(stderr, "%s: no stream: %s%s\n", path.name, qPrintable(player->output),
                         qPrintable(player->errors));
            return failed;
        }
    } else if (path.kind == Kind::GstPair) {
        if (!receiver.start(gst, gstArguments(kGstReceiver.arg(kGstPort).arg(
                                     kPlayerSink, path.arguments.join(' ')))) ||
            !sender.start(gst, gstArguments(kGstSender.arg(kSenderSink).arg(kGstPort)))) {
            return failed;
        }
    } else if (!sender.start(gst, gstArguments(kGstLoop.arg(kSenderSink, kPlayerSink)))) {
        return failed;
    }
    // Past the start of the stream (the lead-in of the signal is there as well).
    spin(1000);
    QString playerFigures;
    Program recorder;
    recorder.process.setStandardOutputFile(recordingFile);
    Program source;
    if (!recorder.start(QStringLiteral("parec"),
                        {"--raw", "--device=" + kProbe + ".monitor", "--format=s16le",
                         "--rate=48000", "--channels=2", "--latency-msec=10"}) ||
        !source.start(QStringLiteral("pacat"),
                      {"--playback", "--raw", "--device=" + kSenderSink, "--format=s16le",
                       "--rate=48000", "--channels=1", "--latency-msec=20", signalFile})) {
        return failed;
    }
    source.process.waitForFinished(-1);
    spin(500);
    recorder.stop();
    sender.stop();
    receiver.stop();
    if (path.kind == Kind::Page) {
        playerFigures = browser.evaluate("document.getElementById('delay').textContent").toString();
    } else if (player) {
        // The plain status lines, every 5 s: the buffer's target, the delay from the buffer to
        // the sound server and the rate's correction, as the player sees them.
        player->stop(SIGINT);
        auto lines = QRegularExpression(
                         QStringLiteral("target (\\d+) ms  delay (\\d+) ms  rate ([-+]\\d+) ppm"))
                         .globalMatch(player->output);
        QStringList seen;
        while (lines.hasNext()) {
            const auto line = lines.next();
            seen << line.captured(1) + "/" + line.captured(2) + "/" + line.captured(3);
        }
        playerFigures = seen.join(QLatin1Char(' '));
        // On one clock there is no drift to follow: the rate should stay near 1.
        const auto largest =
            QRegularExpression(QStringLiteral("largest rate correction (\\d+) ppm"))
                .match(player->output);
        if (largest.hasMatch()) {
            playerFigures += QStringLiteral("; rate %1 ppm at most").arg(largest.captured(1));
        }
    }
    QFile recording(recordingFile);
    if (!recording.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "no recording: %s\n", qPrintable(recording.errorString()));
        return failed;
    }
    Measurement result = analyse(recording.readAll());
    result.playerFigures = playerFigures;
    return result;
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (!bench::runInOwnNetworkNamespace(argc, argv)) {
        return 1;
    }
    if (argc > 1 && QByteArray(argv[1]) == kWindowMode) {
        return runWindow(argc, argv);
    }
    QCoreApplication application(argc, argv);
    const int bursts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const QString only = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    if (QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0")).isEmpty()) {
        std::fprintf(stderr, "gst-launch-1.0 is not installed (gstreamer1.0-tools)\n");
        return 1;
    }
    PulseServer pulse;
    if (!pulse.start({{kProbe + QStringLiteral(" rate=48000 channels=2")}, {}, {}})) {
        std::fprintf(stderr, "no PulseAudio server: %s\n", qPrintable(pulse.errorString()));
        return 1;
    }
    for (const auto &[sink, channel] :
         {std::pair{kSenderSink, "front-left"}, std::pair{kPlayerSink, "front-right"}}) {
        QString error;
        if (!pactl(pulse,
                   {"load-module", "module-remap-sink", "sink_name=" + sink, "master=" + kProbe,
                    "channels=1", "channel_map=mono",
                    QStringLiteral("master_channel_map=") + channel, "remix=no"},
                   &error)) {
            std::fprintf(stderr, "cannot make %s: %s\n", qPrintable(sink), qPrintable(error));
            return 1;
        }
    }
    addDeadEndRoute();
    QTemporaryDir dir;
    const QString signalFile = dir.filePath(QStringLiteral("bursts.raw"));
    std::minstd_rand random(20261207);
    QFile signal(signalFile);
    if (!signal.open(QIODevice::WriteOnly) || signal.write(burstSignal(bursts, random)) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(signalFile));
        return 1;
    }
    signal.close();

    const std::vector<Path> paths{
        {"window > player, adaptive target", Kind::Player, {}},
        {"window > player, --latency 20", Kind::Player, {"--latency", "20"}},
        {"window > player > page, WebRTC", Kind::Page, {"", "Sound over WebRTC"}},
        {"window > player > page joining, WebRTC", Kind::Page, {"", "Sound over WebRTC", "joins"}},
        {"window > player > page, WebSocket",
         Kind::Page,
         {"udp dport != 10493 drop", "Sound over the WebSocket"}},
        {"GStreamer pair, synchronised", Kind::GstPair, {kSynchronisedSink}},
        {"GStreamer pair, sync=false", Kind::GstPair, {kUnsynchronisedSink}},
        {"sound server alone (sink to sink)", Kind::SoundServer, {}},
    };
    std::vector<std::vector<double>> medians(paths.size());
    std::printf("Delay in ms from a %d ms burst entering the sender's sink to its onset on the "
                "player's sink; %d bursts per path; glitches: %d ms blocks of the music between "
                "them that are silent or hold a step\n",
                kBurstMs, bursts, kBlockMs);
    for (int round = 1; round <= rounds; ++round) {
        std::printf("round %d (load averages %s)\n", round, loadAverages().constData());
        std::printf("  %-40s %3s %4s %7s %6s %6s %6s %6s %6s  %s\n", "path", "n", "lost", "median",
                    "min", "max", "glitch", "/sync", "/nosync",
                    "player's target/delay ms/rate ppm; largest rate correction");
        std::vector<Measurement> results;
        for (const Path &path : paths) {
            results.push_back(
                QString(path.name).contains(only)
                    ? measure(path, signalFile, dir.filePath(QStringLiteral("rec.raw")))
                    : Measurement());
        }
        const double references[] = {median(results[5].delaysMs), median(results[6].delaysMs)};
        for (size_t i = 0; i < paths.size(); ++i) {
            const Measurement &m = results[i];
            if (!m.ran || m.delaysMs.empty()) {
                std::printf("  %-40s no burst arrived\n", paths[i].name);
                continue;
            }
            const double mid = median(m.delaysMs);
            medians[i].push_back(mid);
            const auto [low, high] = std::minmax_element(m.delaysMs.begin(), m.delaysMs.end());
            std::printf("  %-40s %3zu %4d %7.1f %6.1f %6.1f %6d", paths[i].name, m.delaysMs.size(),
                        m.missed, mid, *low, *high, m.glitches);
            for (const double reference : references) {
                if (reference > 0) {
                    std::printf(" %6.2f", mid / reference);
                } else {
                    std::printf(" %6s", "-");
                }
            }
            std::printf("  %s\n", qPrintable(m.playerFigures));
        }
        std::fflush(stdout);
    }
    std::printf("medians, round by round\n");
    for (size_t i = 0; i < paths.size(); ++i) {
        std::printf("  %-40s", paths[i].name);
        for (const double value : medians[i]) {
            std::printf(" %6.1f", value);
        }
        std::printf("\n");
    }
    return 0;
}
