// Streams a private PulseAudio server's sink to 127.0.0.1 with the window (in its former framing
// and in its present one) and with a GStreamer pipeline doing the same job, one after the other
// on the same sound, and reports for each: packets per second and their frame sizes, the CPU of
// the sender and of the sound server while streaming, and the delay from a tone burst entering
// the sink to the first datagram carrying it.
// Usage: bench_latency [bursts per sender, default 20]
#include "AudioInput.h"
#include "BenchSupport.h"
#include "PcmConversion.h"
#include "PipeDevice.h"
#include "Signal.h"
#include "TestSupport.h"
#include "Tonravel.h"

#include <QApplication>
#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QUdpSocket>

#include <opus.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace
{

const QString kSink = QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo");
constexpr int kRate = 48000;
constexpr int kBytesPerMs = kRate / 1000 * 2;
constexpr int kChunkBytes = 2 * kBytesPerMs; // the player writes 2 ms at a time
constexpr int kBurstMs = 50;
constexpr int kBurstPeriodMs = 400;
constexpr int kBurstAmplitude = 20000;
// The music under the bursts stays well below what marks a burst in the decoded packets.
constexpr double kMusicAmplitude = 1500;
constexpr float kBurstThreshold = 4000;

// Plays quiet music and, on request, a loud 50 ms tone into the sink through a playback stream
// with a small buffer. A burst enters the sink when the audio queued in front of it has played,
// which is what the stream's free space tells. The sound server takes the audio in blocks, so
// each burst starts at a random point of the 20 ms that follow, or every burst would meet the
// senders' frames at the same place.
class Player
{
public:
    Player(QAudioOutput &playback, QIODevice *playbackStream)
        : output(playback)
        , stream(playbackStream)
    {
        clock.start();
        QObject::connect(&timer, &QTimer::timeout, [this]() { fill(); });
        timer.setTimerType(Qt::PreciseTimer);
        timer.start(1);
    }
    void requestBurst() { burstRequested = true; }
    qint64 burstEnteredMs = -1; // on the clock below
    QElapsedTimer clock;

private:
    void fill()
    {
        while (output.bytesFree() >= kChunkBytes) {
            if (burstLeft == 0 && burstRequested) {
                burstRequested = false;
                burstDelay = std::uniform_int_distribution<qint64>(0, 20 * kRate / 1000)(random);
                burstLeft = kBurstMs * kRate / 1000;
                const qint64 queued = output.bufferSize() - output.bytesFree();
                burstEnteredMs = clock.elapsed() + (queued / 2 + burstDelay) * 1000 / kRate;
            }
            QByteArray chunk(kChunkBytes, Qt::Uninitialized);
            auto *samples = reinterpret_cast<qint16 *>(chunk.data());
            for (int i = 0; i < kChunkBytes / 2; ++i, ++phase) {
                const double t = double(phase) / kRate;
                double value =
                    kMusicAmplitude *
                    (0.5 * std::sin(2 * M_PI * 196.0 * t) + 0.3 * std::sin(2 * M_PI * 311.1 * t) +
                     0.2 * std::sin(2 * M_PI * 466.2 * t)) *
                    (0.6 + 0.4 * std::sin(2 * M_PI * 0.7 * t));
                if (burstDelay > 0) {
                    --burstDelay;
                } else if (burstLeft > 0) {
                    value += kBurstAmplitude * std::sin(2 * M_PI * 1000 * t);
                    --burstLeft;
                }
                samples[i] = static_cast<qint16>(std::lround(value));
            }
            stream->write(chunk);
        }
    }

    QAudioOutput &output;
    QIODevice *stream;
    QTimer timer;
    bool burstRequested = false;
    std::minstd_rand random;
    qint64 burstDelay = 0; // samples
    qint64 burstLeft = 0;  // samples
    qint64 phase = 0;
};

struct Sender {
    QByteArray name;
    QString program;
    QStringList arguments;
};

struct Result {
    bool streamed = false;
    std::vector<double> delaysMs;
    int frames[4] = {0, 0, 0, 0}; // 20, 10, 5 ms, other
    qint64 payloadBytes = 0;
    double wallMs = 0;
    double senderCpuMs = 0;
    double serverCpuMs = 0;
};

int frameIndex(int samples)
{
    switch (samples) {
    case 960:
        return 0;
    case 480:
        return 1;
    case 240:
        return 2;
    default:
        return 3;
    }
}

// Starts the sender, waits for its stream, then plays the bursts while counting what arrives
// and what the sender and the sound server spend.
Result measure(const Sender &sender, int bursts, Player &player, qint64 serverPid)
{
    Result result;
    QUdpSocket receiver;
    if (!receiver.bind(QHostAddress::LocalHost, PipeDevice::kReceiverUdpPort)) {
        std::fprintf(stderr, "cannot bind 127.0.0.1:%d\n", PipeDevice::kReceiverUdpPort);
        return result;
    }
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    if (!sender.program.isEmpty()) {
        process.start(sender.program, sender.arguments);
    }
    if (!process.waitForStarted(5000)) {
        std::fprintf(stderr, "%s did not start\n", sender.name.constData());
        return result;
    }

    bench::OpusStream decoder;
    bool counting = false;
    bool waiting = false;
    int attempts = 0;
    int received = 0;
    QObject::connect(&receiver, &QUdpSocket::readyRead, [&]() {
        while (receiver.hasPendingDatagrams()) {
            const QByteArray packet = receiver.receiveDatagram().data();
            const qint64 now = player.clock.elapsed();
            ++received;
            const int before = decoder.samples().size();
            const int samples = decoder.decode(packet);
            if (!counting) {
                continue;
            }
            result.frames[frameIndex(samples)]++;
            result.payloadBytes += packet.size();
            float peak = 0;
            for (int i = before; i < decoder.samples().size(); ++i) {
                peak = std::max(peak, std::abs(decoder.samples().at(i)));
            }
            const qint64 entered = player.burstEnteredMs;
            if (!waiting || entered < 0) {
                continue;
            }
            if (peak > kBurstThreshold) {
                result.delaysMs.push_back(double(now - entered));
                waiting = false;
            } else if (now - entered > 1000) {
                waiting = false; // lost; the next one is tried
            }
        }
    });

    // Qt's PulseAudio input can take seconds before a new capture delivers its first block.
    QElapsedTimer limit;
    limit.start();
    while (received == 0 && limit.elapsed() < 15000 && process.state() == QProcess::Running) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (received == 0) {
        std::fprintf(stderr, "%s sent nothing\n", sender.name.constData());
        process.kill();
        process.waitForFinished(3000);
        return result;
    }
    // Past the start-up, then one burst at a time.
    limit.restart();
    while (limit.elapsed() < 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    counting = true;
    result.streamed = true;
    QElapsedTimer wall;
    wall.start();
    const double senderStart = bench::processCpuMs(process.processId());
    const double serverStart = bench::processCpuMs(serverPid);
    QTimer scheduler;
    QObject::connect(&scheduler, &QTimer::timeout, [&]() {
        if (!waiting && attempts < bursts) {
            waiting = true;
            ++attempts;
            player.burstEnteredMs = -1;
            player.requestBurst();
        }
    });
    scheduler.start(kBurstPeriodMs);
    limit.restart();
    while ((attempts < bursts || waiting) && limit.elapsed() < bursts * 1500 + 2000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    result.senderCpuMs = bench::processCpuMs(process.processId()) - senderStart;
    result.serverCpuMs = bench::processCpuMs(serverPid) - serverStart;
    result.wallMs = double(wall.elapsed());
    counting = false;
    scheduler.stop();
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
    return result;
}

void report(const QByteArray &name, Result result, double referenceCpu)
{
    if (!result.streamed) {
        std::printf("%-34s no stream\n", name.constData());
        return;
    }
    const int packets = result.frames[0] + result.frames[1] + result.frames[2] + result.frames[3];
    const double seconds = result.wallMs / 1000.0;
    const double senderCpu = 100.0 * result.senderCpuMs / result.wallMs;
    const double serverCpu = 100.0 * result.serverCpuMs / result.wallMs;
    std::printf("%-34s %6.1f  %3d/%3d/%3d/%2d %6.1f  %5.1f  %5.1f  %5.1f", name.constData(),
                packets / seconds, 100 * result.frames[0] / std::max(packets, 1),
                100 * result.frames[1] / std::max(packets, 1),
                100 * result.frames[2] / std::max(packets, 1),
                100 * result.frames[3] / std::max(packets, 1),
                (result.payloadBytes + 28.0 * packets) * 8 / 1000.0 / seconds, senderCpu, serverCpu,
                senderCpu + serverCpu);
    if (referenceCpu > 0) {
        std::printf(" %5.2f", (senderCpu + serverCpu) / referenceCpu);
    } else {
        std::printf("     -");
    }
    auto &d = result.delaysMs;
    if (d.empty()) {
        std::printf("   no burst arrived\n");
        return;
    }
    std::sort(d.begin(), d.end());
    std::printf("  %3zu  %5.1f  %5.1f  %5.1f  %5.1f\n", d.size(), d[d.size() / 2], d.front(),
                d[d.size() * 9 / 10], d.back());
}

double combinedCpu(const Result &result)
{
    return result.streamed ? 100.0 * (result.senderCpuMs + result.serverCpuMs) / result.wallMs
                           : 0.0;
}

// The window as a user runs it, with Start pressed for 127.0.0.1; the audio input, the capture
// block and the framing are set as the arguments say.
int runWindow(int argc, char *argv[])
{
    QApplication application(argc, argv);
    SettingsSandbox sandbox;
    QString problem;
    if (argc < 4 || !bench::usePulseAudioBackendOnly(&problem)) {
        std::fprintf(stderr, "window: %s\n", qPrintable(problem));
        return 1;
    }
    AudioInput *controller = AudioInput::instance();
    controller->setCaptureBlockMs(std::atoi(argv[2]));
    controller->setFraming(QByteArray(argv[3]) == "earliest" ? PipeDevice::Framing::EarliestFrame
                                                             : PipeDevice::Framing::WholeFrames);
    Tonravel window;
    window.findChild<QLineEdit *>(QStringLiteral("receiverIplineEdit"))
        ->setText(QStringLiteral("127.0.0.1"));
    window.findChild<QPushButton *>(QStringLiteral("startRecordstartDancepushButton"))->click();
    return application.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    if (!bench::runInOwnNetworkNamespace(argc, argv)) {
        return 1;
    }
    if (argc > 1 && QByteArray(argv[1]) == "--window") {
        return runWindow(argc, argv);
    }
    QCoreApplication application(argc, argv);
    const int bursts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    QString problem;
    PulseServer pulse;
    if (!bench::usePulseAudioBackendOnly(&problem) || !pulse.start({{kSink}, {}, {}})) {
        std::fprintf(stderr, "no sound server: %s %s\n", qPrintable(problem),
                     qPrintable(pulse.errorString()));
        return 1;
    }
    QAudioDeviceInfo sink;
    for (const auto &device : QAudioDeviceInfo::availableDevices(QAudio::AudioOutput)) {
        if (device.deviceName() == kSink) {
            sink = device;
        }
    }
    const QAudioFormat format = Pcm::signed16Format(kRate, 1);
    QAudioOutput output(sink, format);
    // A small playback buffer, so that the time a burst enters the sink is known closely.
    output.setBufferSize(20 * kBytesPerMs);
    QIODevice *stream = output.start();
    if (!stream) {
        std::fprintf(stderr, "cannot play into the sink\n");
        return 1;
    }
    Player player(output, stream);

    // The former framing with its capture blocks, the present one with its own, and beside it
    // the present framing with shorter and longer capture blocks.
    const QString self = QCoreApplication::applicationFilePath();
    auto window = [&self](int blockMs, const char *framing) {
        const QByteArray name = QByteArray(framing) == "earliest"
                                    ? QByteArray("window, former framing")
                                    : QByteArray("window, 20 ms frames");
        return Sender{
            name + " (" + QByteArray::number(blockMs) + " ms in)",
            self,
            {QStringLiteral("--window"), QString::number(blockMs), QString::fromLatin1(framing)}};
    };
    const int block = AudioInput::kDefaultCaptureBlockMs;
    const Sender gstreamer{
        "GStreamer pipeline", QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0")),
        QStringLiteral("-q pulsesrc device=%1.monitor ! audioconvert ! audioresample ! "
                       "audio/x-raw,rate=48000,channels=1 ! opusenc ! "
                       "udpsink host=127.0.0.1 port=%2")
            .arg(kSink)
            .arg(PipeDevice::kReceiverUdpPort)
            .split(QLatin1Char(' '))};
    if (gstreamer.program.isEmpty()) {
        std::fprintf(stderr, "gst-launch-1.0 is not installed (gstreamer1.0-tools)\n");
    }
    const std::vector<Sender> senders{gstreamer, window(10, "earliest"), window(block, "whole"),
                                      window(block / 2, "whole"), window(block * 2, "whole")};
    std::vector<Result> results;
    for (const Sender &sender : senders) {
        results.push_back(measure(sender, bursts, player, pulse.processId()));
    }
    output.stop();

    std::printf("CPU in %% of one core while streaming (the sound server also takes the sound in); "
                "kbit/s with UDP and IPv4 headers; delay in ms from a burst entering the sink to "
                "the first datagram carrying it\n");
    std::printf("%-34s %6s  %-15s %6s  %5s  %5s  %5s %5s  %3s  %5s  %5s  %5s  %5s\n", "sender",
                "pkt/s", "20/10/5/other%", "kbit/s", "send", "server", "both", "/gst", "n",
                "median", "min", "p90", "max");
    const double reference = combinedCpu(results.front());
    for (size_t i = 0; i < senders.size(); ++i) {
        report(senders[i].name, results[i], reference);
    }
    return 0;
}
