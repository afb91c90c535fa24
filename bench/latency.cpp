// Measures the delay from a tone burst entering the sound server's sink to the first datagram
// that carries it, with a private PulseAudio server, for the server's default capture blocks
// and for 20 ms blocks. Usage: bench_latency [bursts per setting, default 20]
#include "AudioInput.h"
#include "PcmConversion.h"
#include "PipeDevice.h"
#include "Signal.h"
#include "TestSupport.h"

#include <QAudioDeviceInfo>
#include <QAudioInput>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <opus.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace
{

const QString kSink = QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo");
constexpr int kRate = 48000;
constexpr int kBytesPerMs = kRate / 1000 * 2;
constexpr int kChunkBytes = 2 * kBytesPerMs; // the player writes 2 ms at a time
constexpr int kBurstMs = 50;

struct Result {
    std::vector<double> delaysMs;
    int frames[3] = {0, 0, 0}; // 20, 10, 5 ms
};

// Plays silence and, every 400 ms, a 50 ms tone into the sink through a playback stream with a
// small buffer. A burst enters the sink when the audio queued in front of it has played, which
// is what the stream's free space tells.
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
                burstLeft = kBurstMs * kBytesPerMs;
                const qint64 queued = output.bufferSize() - output.bytesFree();
                burstEnteredMs = clock.elapsed() + queued / kBytesPerMs;
            }
            QByteArray chunk(kChunkBytes, '\0');
            if (burstLeft > 0) {
                auto *samples = reinterpret_cast<qint16 *>(chunk.data());
                for (int i = 0; i < kChunkBytes / 2; ++i) {
                    samples[i] =
                        static_cast<qint16>(20000 * std::sin(2 * M_PI * 1000 * phase++ / kRate));
                }
                burstLeft -= kChunkBytes;
            }
            stream->write(chunk);
        }
    }

    QAudioOutput &output;
    QIODevice *stream;
    QTimer timer;
    bool burstRequested = false;
    qint64 burstLeft = 0;
    qint64 phase = 0;
};

Result measure(int blockMs, int bursts, Player &player, const QAudioDeviceInfo &monitor)
{
    Result result;
    QUdpSocket receiver;
    if (!receiver.bind(QHostAddress::LocalHost, PipeDevice::kReceiverUdpPort)) {
        std::fprintf(stderr, "cannot bind 127.0.0.1:%d\n", PipeDevice::kReceiverUdpPort);
        return result;
    }
    Signal::OpusStream decoder;
    AudioInput controller;
    controller.setCaptureBlockMs(blockMs);
    controller.setReceiverIp(QStringLiteral("127.0.0.1"));
    controller.setDevice(monitor);
    controller.preparePipeDevice();
    if (!controller.start()) {
        std::fprintf(stderr, "cannot start the capture\n");
        return result;
    }

    int attempts = 0;
    bool waiting = false;
    QTimer scheduler;
    QObject::connect(&scheduler, &QTimer::timeout, [&]() {
        if (!waiting && attempts < bursts) {
            waiting = true;
            ++attempts;
            player.burstEnteredMs = -1;
            player.requestBurst();
        }
    });
    // Past the capture's start-up, then one burst at a time.
    QTimer::singleShot(1000, [&]() { scheduler.start(400); });

    QObject::connect(&receiver, &QUdpSocket::readyRead, [&]() {
        while (receiver.hasPendingDatagrams()) {
            const QByteArray packet = receiver.receiveDatagram().data();
            const qint64 now = player.clock.elapsed();
            const int samples = opus_packet_get_nb_samples(
                reinterpret_cast<const unsigned char *>(packet.constData()), packet.size(), kRate);
            result.frames[samples == 960 ? 0 : samples == 480 ? 1 : 2]++;
            const int before = decoder.samples().size();
            decoder.decode(packet);
            float peak = 0;
            for (int i = before; i < decoder.samples().size(); ++i) {
                peak = std::max(peak, std::abs(decoder.samples().at(i)));
            }
            const qint64 entered = player.burstEnteredMs;
            if (!waiting || entered < 0) {
                continue;
            }
            if (peak > 4000) {
                result.delaysMs.push_back(double(now - entered));
                waiting = false;
            } else if (now - entered > 1000) {
                waiting = false; // lost; the next one is tried
            }
        }
    });

    QElapsedTimer limit;
    limit.start();
    while ((attempts < bursts || waiting) && limit.elapsed() < 2000 + bursts * 1500) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    scheduler.stop();
    controller.currentAudioInput()->stop();
    controller.currentPipeDevice()->retire();
    return result;
}

void report(const char *name, Result result)
{
    auto &d = result.delaysMs;
    const int total = std::max(1, result.frames[0] + result.frames[1] + result.frames[2]);
    if (d.empty()) {
        std::printf("%-24s no burst arrived\n", name);
        return;
    }
    std::sort(d.begin(), d.end());
    std::printf("%-24s %3zu bursts  median %5.1f ms  min %5.1f  p90 %5.1f  max %5.1f   "
                "frames 20/10/5 ms: %d%%/%d%%/%d%%\n",
                name, d.size(), d[d.size() / 2], d.front(), d[d.size() * 9 / 10], d.back(),
                100 * result.frames[0] / total, 100 * result.frames[1] / total,
                100 * result.frames[2] / total);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int bursts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    QString problem;
    PulseServer pulse;
    if (!usePulseAudioBackendOnly(&problem) || !pulse.start({{kSink}, {}, {}})) {
        std::fprintf(stderr, "no sound server: %s %s\n", qPrintable(problem),
                     qPrintable(pulse.errorString()));
        return 1;
    }
    QAudioDeviceInfo monitor;
    for (const auto &device : QAudioDeviceInfo::availableDevices(QAudio::AudioInput)) {
        if (device.deviceName() == kSink + QStringLiteral(".monitor")) {
            monitor = device;
        }
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

    std::printf("delay from a burst entering the sink to the first datagram carrying it\n");
    report("server's default blocks", measure(0, bursts, player, monitor));
    report("20 ms blocks", measure(20, bursts, player, monitor));
    report("10 ms blocks", measure(10, bursts, player, monitor));
    report("5 ms blocks", measure(5, bursts, player, monitor));
    output.stop();
    return 0;
}
