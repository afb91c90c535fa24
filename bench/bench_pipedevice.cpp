// Compares the CPU time that the pipe device spends per second of audio with the time the
// codec (and, for 44100 Hz input, the resampler) alone need for the same audio.
// Usage: bench_pipedevice [seconds of audio, default 60]
#include "BenchSupport.h"
#include "PcmConversion.h"
#include "PipeDevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTimer>
#include <QUdpSocket>

#include <opus.h>
#include <speex/speex_resampler.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace
{

// Several tones with a slow vibrato and some noise, so the codec works as it does on music.
QByteArray musicLike(int rate, int channels, int seconds)
{
    const int frames = rate * seconds;
    QByteArray data(frames * channels * 2, Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(data.data());
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 600.0);
    const double tones[] = {110.0, 220.0, 329.6, 440.0, 659.3, 1318.5};
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        double value = noise(random);
        for (int k = 0; k < 6; ++k) {
            const double vibrato = 1.0 + 0.003 * std::sin(2 * M_PI * 5.0 * t + k);
            value += 2500.0 / (k + 1) * std::sin(2 * M_PI * tones[k] * vibrato * t) *
                     (0.6 + 0.4 * std::sin(2 * M_PI * 0.3 * (k + 1) * t));
        }
        for (int c = 0; c < channels; ++c) {
            out[i * channels + c] =
                static_cast<qint16>(std::lround(std::clamp(value, -32768.0, 32767.0)));
        }
    }
    return data;
}

struct CpuTime {
    double user = 0;
    double system = 0;
    double total() const { return user + system; }
};

CpuTime cpuNow()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
            usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6};
}

CpuTime since(const CpuTime &start)
{
    const CpuTime now = cpuNow();
    return {now.user - start.user, now.system - start.system};
}

CpuTime better(const CpuTime &a, const CpuTime &b)
{
    return a.total() <= b.total() ? a : b;
}

// (a): the first channel, resampled when needed, encoded in 20 ms frames.
CpuTime codecAlone(const QByteArray &audio, int rate, int channels)
{
    const CpuTime start = cpuNow();
    int error = 0;
    OpusEncoder *encoder = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &error);
    SpeexResamplerState *resampler =
        rate != 48000 ? speex_resampler_init(1, rate, 48000, 10, &error) : nullptr;
    const int frames = audio.size() / 2 / channels;
    const auto *in = reinterpret_cast<const qint16 *>(audio.constData());
    std::vector<qint16> mono(frames);
    for (int i = 0; i < frames; ++i) {
        mono[i] = in[i * channels];
    }
    std::vector<qint16> stream;
    if (resampler) {
        stream.resize(size_t(frames) * 48000 / rate + 1024);
        spx_uint32_t inCount = frames;
        spx_uint32_t outCount = stream.size();
        speex_resampler_process_int(resampler, 0, mono.data(), &inCount, stream.data(), &outCount);
        stream.resize(outCount);
        speex_resampler_destroy(resampler);
    } else {
        stream = mono;
    }
    unsigned char packet[4000];
    long long bytes = 0;
    for (size_t offset = 0; offset + 960 <= stream.size(); offset += 960) {
        bytes += opus_encode(encoder, stream.data() + offset, 960, packet, sizeof packet);
    }
    opus_encoder_destroy(encoder);
    if (bytes <= 0) {
        std::fprintf(stderr, "encoding failed\n");
    }
    return since(start);
}

// (a'): the same work as (a) at the device's own pace: a 50 ms block is resampled, one frame is
// encoded at once and the rest one per 20 ms timer tick, so both run with the same wake-ups.
CpuTime codecPaced(const QByteArray &audio, int rate, int channels)
{
    const CpuTime start = cpuNow();
    int error = 0;
    OpusEncoder *encoder = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &error);
    SpeexResamplerState *resampler =
        rate != 48000 ? speex_resampler_init(1, rate, 48000, 10, &error) : nullptr;
    const auto *in = reinterpret_cast<const qint16 *>(audio.constData());
    const int totalFrames = audio.size() / 2 / channels;
    const int blockFrames = rate / 20;
    std::vector<qint16> mono(blockFrames);
    std::vector<qint16> converted(blockFrames * 2 + 64);
    std::vector<qint16> buffer;
    unsigned char packet[4000];
    QTimer timer;
    timer.setSingleShot(true);
    timer.setInterval(20);
    bool tick = false;
    QObject::connect(&timer, &QTimer::timeout, [&tick]() { tick = true; });
    long long bytes = 0;
    auto encodeOne = [&]() {
        bytes += opus_encode(encoder, buffer.data(), 960, packet, sizeof packet);
        buffer.erase(buffer.begin(), buffer.begin() + 960);
        timer.start();
    };
    for (int first = 0; first < totalFrames; first += blockFrames) {
        const int frames = std::min(blockFrames, totalFrames - first);
        for (int i = 0; i < frames; ++i) {
            mono[i] = in[(first + i) * channels];
        }
        if (resampler) {
            spx_uint32_t inCount = frames;
            spx_uint32_t outCount = converted.size();
            speex_resampler_process_int(resampler, 0, mono.data(), &inCount, converted.data(),
                                        &outCount);
            buffer.insert(buffer.end(), converted.begin(), converted.begin() + outCount);
        } else {
            buffer.insert(buffer.end(), mono.begin(), mono.begin() + frames);
        }
        if (buffer.size() >= 960) {
            encodeOne();
        }
        while (buffer.size() >= 960) {
            tick = false;
            while (!tick) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
            encodeOne();
        }
    }
    if (resampler) {
        speex_resampler_destroy(resampler);
    }
    opus_encoder_destroy(encoder);
    if (bytes <= 0) {
        std::fprintf(stderr, "encoding failed\n");
    }
    return since(start);
}

// (b): the device, fed 50 ms blocks as a sound server delivers them, sending to loopback.
CpuTime throughDevice(const QByteArray &audio, int rate, int channels, QUdpSocket &socket)
{
    const QAudioFormat format = Pcm::signed16Format(rate, channels);

    const CpuTime start = cpuNow();
    PipeDevice device;
    device.setReceiverIp(QStringLiteral("127.0.0.1"));
    device.setUdpSocket(&socket);
    device.open(QIODevice::WriteOnly);
    device.startStreaming();
    device.setOutputSampleRate(48000);
    device.setAudioFormat(format);
    device.createResampler();
    const int blockBytes = rate / 20 * channels * 2;
    for (int offset = 0; offset < audio.size(); offset += blockBytes) {
        device.write(audio.constData() + offset, std::min(blockBytes, audio.size() - offset));
        // The device drains what one write leaves with its 20 ms timer.
        while (device.pendingBytes() >= 1920) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    return since(start);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!bench::runInOwnNetworkNamespace(argc, argv)) {
        return 1;
    }
    QCoreApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;

    // A receiver that never reads, outside the event loop: the datagrams stop at the loopback
    // interface and cost this process nothing but the send.
    const int sink = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(PipeDevice::kReceiverUdpPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sink < 0 || ::bind(sink, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "cannot bind 127.0.0.1:%d\n", PipeDevice::kReceiverUdpPort);
        return 1;
    }
    QUdpSocket socket;

    std::printf("CPU time per second of audio, user+system (system in brackets), %d s of audio\n",
                seconds);
    std::printf("%-18s %20s %20s %20s %8s %8s\n", "input", "a: codec ms/s", "a': paced ms/s",
                "b: device ms/s", "b/a", "b/a'");
    const struct {
        const char *name;
        int rate;
        int channels;
    } inputs[] = {{"48000 Hz mono", 48000, 1}, {"44100 Hz stereo", 44100, 2}};
    for (const auto &input : inputs) {
        const QByteArray audio = musicLike(input.rate, input.channels, seconds);
        // Side by side, twice each; the better of two runs is kept for both.
        CpuTime a{1e9, 0};
        CpuTime paced{1e9, 0};
        CpuTime b{1e9, 0};
        for (int round = 0; round < 2; ++round) {
            a = better(a, codecAlone(audio, input.rate, input.channels));
            paced = better(paced, codecPaced(audio, input.rate, input.channels));
            b = better(b, throughDevice(audio, input.rate, input.channels, socket));
        }
        const auto show = [seconds](const CpuTime &t) {
            return QStringLiteral("%1 (%2)")
                .arg(1000 * t.total() / seconds, 7, 'f', 2)
                .arg(1000 * t.system / seconds, 5, 'f', 2)
                .toStdString();
        };
        std::printf("%-18s %20s %20s %20s %8.3f %8.3f\n", input.name, show(a).c_str(),
                    show(paced).c_str(), show(b).c_str(), b.total() / a.total(),
                    b.total() / paced.total());
    }
    ::close(sink);
    return 0;
}
