// CPU time and memory of plovarin-player while it plays a stream, side by side with libopus
// decoding the same packets alone, and the player's closing summary of each run. Starts a
// private PulseAudio server with a null sink.
// Usage: bench_player [seconds of audio per run, default 20]
#include "BenchSupport.h"
#include "Signal.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <opus.h>

#include <csignal>
#include <cstdio>
#include <ctime>

#include <unistd.h>

namespace
{

constexpr quint16 kStreamPort = 10493;

QByteArray statusField(qint64 pid, const char *name)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name)) {
            return line.mid(int(qstrlen(name))).trimmed();
        }
    }
    return "?";
}

struct Run {
    double cpuMs = 0;
    QByteArray rss;
    QByteArray peakRss;
    QString summary;
};

bool waitFor(QProcess &process, QString &output, const QString &text)
{
    return QTest::qWaitFor(
        [&] {
            output += QString::fromLocal8Bit(process.readAllStandardOutput());
            return output.contains(text);
        },
        15000);
}

bool runPlayer(const QStringList &arguments, const QString &pulseServer,
               const QList<QByteArray> &packets, Run &run)
{
    QProcess player;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), pulseServer);
    player.setProcessEnvironment(environment);
    player.start(QStringLiteral(PLAYER_EXECUTABLE), arguments);
    QString output;
    const bool playback = !arguments.contains(QStringLiteral("--no-playback"));
    if (!waitFor(player, output, QStringLiteral("receiving on")) ||
        (playback && !waitFor(player, output, QStringLiteral("the output device is playing")))) {
        std::fprintf(stderr, "the player did not start: %s%s\n", qPrintable(output),
                     player.readAllStandardError().constData());
        return false;
    }
    const double before = bench::processCpuMs(player.processId());
    sendPaced(packets, QHostAddress(QHostAddress::LocalHost), kStreamPort);
    run.cpuMs = bench::processCpuMs(player.processId()) - before;
    run.rss = statusField(player.processId(), "VmRSS:");
    run.peakRss = statusField(player.processId(), "VmHWM:");
    ::kill(pid_t(player.processId()), SIGINT);
    player.waitForFinished(10000);
    output += QString::fromLocal8Bit(player.readAllStandardOutput());
    run.summary = output.section(QLatin1Char('\n'), -2, -2);
    return true;
}

double decodeAloneCpuMs(const QList<QByteArray> &packets)
{
    int error = OPUS_OK;
    OpusDecoder *decoder = opus_decoder_create(48000, 1, &error);
    QVector<opus_int16> pcm(5760);
    timespec start{};
    timespec end{};
    qint64 decodedSamples = 0;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    for (const QByteArray &packet : packets) {
        decodedSamples +=
            opus_decode(decoder, reinterpret_cast<const unsigned char *>(packet.constData()),
                        packet.size(), pcm.data(), pcm.size(), 0);
    }
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
    opus_decoder_destroy(decoder);
    if (decodedSamples != qint64(packets.size()) * 960) {
        std::fprintf(stderr, "decoding alone failed\n");
    }
    return (end.tv_sec - start.tv_sec) * 1000.0 + (end.tv_nsec - start.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!bench::runInOwnNetworkNamespace(argc, argv)) {
        return 1;
    }
    QCoreApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 20;
    PulseServer pulse;
    if (!pulse.start({{QStringLiteral("bench_sink")}, {}, {}})) {
        std::fprintf(stderr, "no PulseAudio server: %s\n", qPrintable(pulse.errorString()));
        return 1;
    }
    const QList<QByteArray> packets = Signal::opusTone(seconds * 50);
    QTemporaryDir dir;
    // The stream comes from this machine: played all the same, as from another.
    const QStringList common{QStringLiteral("--no-announce"), QStringLiteral("--allow-feedback")};
    Run playing;
    Run recording;
    Run both;
    if (!runPlayer(common + QStringList{"--device", "bench_sink"}, pulse.serverAddress(), packets,
                   playing) ||
        !runPlayer(common + QStringList{"--no-playback", "--wav", dir.filePath("a.wav")},
                   pulse.serverAddress(), packets, recording) ||
        !runPlayer(common + QStringList{"--device", "bench_sink", "--wav", dir.filePath("b.wav")},
                   pulse.serverAddress(), packets, both)) {
        return 1;
    }
    const double decode = decodeAloneCpuMs(packets);
    const auto report = [&](const char *name, const Run &run) {
        std::printf("%-22s %6.2f ms CPU per s of audio (%.2f x decoding alone), RSS %s, peak %s\n"
                    "%22s %s\n",
                    name, run.cpuMs / seconds, run.cpuMs / decode, run.rss.constData(),
                    run.peakRss.constData(), "", qPrintable(run.summary));
    };
    std::printf("%d s of 20 ms packets of a 440 Hz tone\n", seconds);
    report("playback", playing);
    report("WAV only", recording);
    report("playback and WAV", both);
    std::printf("%-22s %6.2f ms CPU per s of audio\n", "libopus decoding alone", decode / seconds);
    return 0;
}
