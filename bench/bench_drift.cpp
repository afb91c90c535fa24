// The player's jitter buffer over a simulated hour: the sender's sound server hands over 50 ms at
// once (20, 20 and 10 ms frames) on a clock that runs off the sound card's, and the network holds
// everything back for 100 to 200 ms a few times a minute. Reports, for each clock difference,
// what was dropped and made up (no packet is lost), the level's range and the largest playback
// rate correction.
// Usage: bench_drift [minutes, default 60]
#include "JitterBuffer.h"
#include "TestSupport.h"

#include <QCoreApplication>

#include <cstdio>
#include <random>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const qint64 durationMs = (argc > 1 ? std::max(1, atoi(argv[1])) : 60) * 60000LL;
    std::mt19937 random(20261207);
    QList<QPair<qint64, int>> spikes;
    for (qint64 at = 15000 + random() % 10000; at < durationMs; at += 15000 + random() % 10000) {
        spikes.append({at, 100 + int(random() % 101)});
    }
    std::printf("%lld simulated minutes, %d spikes of 100 to 200 ms\n", durationMs / 60000,
                int(spikes.size()));
    std::printf("%9s %8s %14s %14s %18s %12s %16s\n", "sender", "dropped", "made up in", "made up",
                "level after", "target", "largest rate");
    std::printf("%9s %8s %14s %14s %18s %12s %16s\n", "ppm", "", "first minute", "after",
                "first minute, ms", "range, ms", "correction, ppm");
    for (const double ppm : {-500.0, -100.0, 0.0, 100.0, 500.0}) {
        player::JitterBuffer buffer;
        qint64 firstMinute = 0;
        double low = 1e9;
        double high = 0;
        int lowTarget = 1 << 30;
        int highTarget = 0;
        simulateStream(buffer, durationMs, ppm, spikes, [&](qint64 ms) {
            if (ms < 60000) {
                firstMinute = buffer.stats().concealed;
                return;
            }
            low = std::min(low, buffer.bufferedMs());
            high = std::max(high, buffer.bufferedMs());
            lowTarget = std::min(lowTarget, buffer.targetMs());
            highTarget = std::max(highTarget, buffer.targetMs());
        });
        const player::JitterBuffer::Stats &stats = buffer.stats();
        std::printf("%+9.0f %8lld %14lld %14lld %9.0f to %5.0f %5d to %4d %16.0f\n", ppm,
                    stats.dropped, firstMinute, stats.concealed - firstMinute, low, high, lowTarget,
                    highTarget, stats.largestCorrectionPpm);
    }
    return 0;
}
