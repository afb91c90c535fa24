// A soak under load: the window streams a chord of three steady tones (made by the sound server
// itself, so that its source never glitches) from the sender's sink of a private PulseAudio
// server to plovarin-player, which plays it into a sink of its own and writes it to a WAV file,
// while busy loops load every core. Reports the player's closing counters and the clicks in the
// WAV file: sample steps above the largest the chord itself makes, and blocks of 1/120 s whose
// share of the chord falls far below the file's usual one.
// Usage: bench_soak [minutes, default 10]
#include "BenchSupport.h"
#include "Signal.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

using namespace bench;

namespace
{

constexpr int kRate = 48000;
const QString kSenderSink = QStringLiteral("sender_sink");
const QString kPlayerSink = QStringLiteral("player_sink");
// Multiples of 120 Hz: a block of 400 samples holds whole periods of each, so that its share
// of the chord is exact. None of them fits a whole number of periods into 5, 10 or 20 ms, so
// audio left out or made up shows as a jump in phase.
constexpr double kToneHz[] = {360, 840, 1320};
constexpr int kBlock = 400;
// Of the sound server's sine, whose amplitude is half of full scale: 3277 each.
constexpr double kToneVolume = 0.2;
// The stream's start (the decoder's first frames, the tones' entry) is not judged.
constexpr int kSkipSeconds = 1;
// Opus's own noise lifts the chord's steps a little: a click is well above that.
constexpr double kStepMargin = 1.5;
constexpr double kSnrDropDb = 20;
constexpr int kTimesShown = 12;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void printTimes(const char *what, const std::vector<double> &seconds)
{
    if (seconds.empty()) {
        return;
    }
    std::printf("first %s at (s):", what);
    for (size_t i = 0; i < seconds.size() && int(i) < kTimesShown; ++i) {
        std::printf(" %.2f", seconds[i]);
    }
    std::printf("\n");
}

// Clicks in the WAV file, printed.
void analyse(const QString &path)
{
    const QVector<float> all = Signal::wavSamples(path);
    if (all.size() <= (kSkipSeconds + 1) * kRate) {
        std::printf("WAV file: not complete or too short\n");
        return;
    }
    const QVector<float> wav = all.mid(kSkipSeconds * kRate);
    // The tones' amplitudes as played, block by block (short enough that the playback rate's
    // correction, a few Hz at most, does not move them off their bins); the largest step of their
    // sum follows.
    double largestNaturalStep = 0;
    std::printf("%.1f s in the WAV file (the first %d s not judged); tones",
                all.size() / double(kRate), kSkipSeconds);
    for (const double hz : kToneHz) {
        std::vector<double> amplitudes;
        for (int first = 0; first + kBlock <= std::min(wav.size(), 10 * kRate); first += kBlock) {
            amplitudes.push_back(Signal::toneAmplitude(wav.mid(first, kBlock), hz));
        }
        const double amplitude = median(amplitudes);
        largestNaturalStep += 2 * amplitude * std::sin(M_PI * hz / kRate);
        std::printf(" %.0f Hz at %.0f", hz, amplitude);
    }
    std::printf("\n");

    float largestStep = 0;
    qint64 stepsAbove = 0;
    int clickBlocks = 0;
    int lowBlocks = 0;
    std::vector<double> snrs;
    std::vector<double> clickTimes;
    std::vector<double> lowTimes;
    for (int first = 0; first + kBlock <= wav.size(); first += kBlock) {
        bool click = false;
        for (int n = std::max(first, 1); n < first + kBlock; ++n) {
            const float step = std::abs(wav[n] - wav[n - 1]);
            largestStep = std::max(largestStep, step);
            if (step > kStepMargin * largestNaturalStep) {
                ++stepsAbove;
                click = true;
            }
        }
        if (click) {
            ++clickBlocks;
            clickTimes.push_back(kSkipSeconds + double(first) / kRate);
        }
        const QVector<float> block = wav.mid(first, kBlock);
        double tones = 0;
        for (const double hz : kToneHz) {
            tones += Signal::toneEnergy(block, hz);
        }
        const double rest = std::max(Signal::totalEnergy(block) - tones, 1e-9);
        snrs.push_back(10 * std::log10(std::max(tones, 1e-9) / rest));
    }
    const double usualSnr = median(snrs);
    for (size_t i = 0; i < snrs.size(); ++i) {
        if (snrs[i] < usualSnr - kSnrDropDb) {
            ++lowBlocks;
            lowTimes.push_back(kSkipSeconds + double(i * kBlock) / kRate);
        }
    }
    std::printf("steps: largest natural %.0f, largest in the file %.0f; above %.1f x natural: %lld "
                "samples in %d blocks\n",
                largestNaturalStep, double(largestStep), kStepMargin, stepsAbove, clickBlocks);
    std::printf(
        "blocks of 1/120 s: %zu, the chord's usual share %.1f dB, %d blocks more than %.0f dB "
        "below it\n",
        snrs.size(), usualSnr, lowBlocks, kSnrDropDb);
    printTimes("steps above", clickTimes);
    printTimes("blocks below", lowTimes);
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
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    PulseServer pulse;
    const QString rate = QStringLiteral(" rate=48000");
    if (!pulse.start({{kSenderSink + rate, kPlayerSink + rate}, {}, {}})) {
        std::fprintf(stderr, "no PulseAudio server: %s\n", qPrintable(pulse.errorString()));
        return 1;
    }
    for (const double hz : kToneHz) {
        QString index;
        if (!pactl(pulse, {"load-module", "module-sine", "sink=" + kSenderSink,
                           "frequency=" + QString::number(hz)}) ||
            !pactl(pulse, {"list", "short", "sink-inputs"}, &index) ||
            !pactl(pulse, {"set-sink-input-volume", index.split('\n').last().section('\t', 0, 0),
                           QString::number(kToneVolume)})) {
            std::fprintf(stderr, "cannot play a %.0f Hz tone into %s\n", hz,
                         qPrintable(kSenderSink));
            return 1;
        }
    }
    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("soak.wav"));
    PlayerProcess player(
        {"--no-announce", "--allow-feedback", "--device", kPlayerSink, "--wav", wav});
    Program window;
    if (!player.waitFor(QStringLiteral("receiving on")) ||
        !startWindow(window, kSenderSink + QStringLiteral(".monitor"),
                     QStringLiteral("127.0.0.1")) ||
        !player.waitFor(QStringLiteral("playing 127.0.0.1"), 20000)) {
        std::fprintf(stderr, "no stream: %s%s\n", qPrintable(player.output),
                     qPrintable(player.errors));
        return 1;
    }
    const int cores = std::max(1, QThread::idealThreadCount());
    std::vector<std::unique_ptr<Program>> loops;
    for (int i = 0; i < cores; ++i) {
        loops.push_back(std::make_unique<Program>());
        if (!startBusyLoop(*loops.back())) {
            return 1;
        }
    }
    std::printf("%d min: the window streams to the player (playback and WAV) with %d busy loops; "
                "load averages at the start %s\n",
                minutes, cores, loadAverages().constData());
    std::fflush(stdout);
    QElapsedTimer clock;
    clock.start();
    const double windowCpu = processCpuMs(window.processId());
    const double playerCpu = processCpuMs(player.process.processId());
    // The player's own status line (written every 5 s) once a minute.
    for (int minute = 1; minute <= minutes; ++minute) {
        while (clock.elapsed() < minute * 60000LL) {
            spin(1000);
        }
        player.output += QString::fromLocal8Bit(player.process.readAllStandardOutput());
        std::printf("%2d min: %s\n", minute,
                    qPrintable(player.output.trimmed().section(QLatin1Char('\n'), -1)));
        std::fflush(stdout);
    }
    const double seconds = clock.elapsed() / 1000.0;
    std::printf("load averages at the end %s; CPU in %% of one core: window %.1f, player %.1f\n",
                loadAverages().constData(),
                (processCpuMs(window.processId()) - windowCpu) / seconds / 10,
                (processCpuMs(player.process.processId()) - playerCpu) / seconds / 10);
    loops.clear();
    window.stop();
    player.stop(SIGINT);
    std::printf("player: lost by the sender %lld, concealed %lld blocks, dropped %lld, skipped "
                "%lld at the start, %lld output underruns\n%s\n",
                player.figure(QStringLiteral("lost by the sender")),
                player.figure(QStringLiteral("blocks concealed")),
                player.figure(QStringLiteral("packets dropped")),
                player.figure(QStringLiteral("skipped")),
                player.figure(QStringLiteral("output underruns")),
                qPrintable(player.output.section(QLatin1Char('\n'), -2, -2)));
    analyse(wav);
    return 0;
}
