#include "Playout.h"

#include "JitterBuffer.h"
#include "OpusPacket.h"
#include "PulseOutput.h"

#include <QAudioOutput>
#include <QVector>

#include <utility>

namespace player
{

namespace
{
constexpr int kClockTickMs = 10;
// Without a sound card nothing limits a pull after a stall; this much is taken at most.
constexpr int kMaxClockPullSamples = kSampleRate / 5;

// Qt's PulseAudio output in pull mode takes one 20 ms period per timer tick, and its timer
// runs late: it falls behind the sound card. So the player pushes, as much as the device
// will take, on its own precise timer.
constexpr int kPushTickMs = 10;
// Its whole buffer is held, refilled on that timer, and carries the sound over a stall of this
// process: with 20 ms the sound server ran out 40 times in two minutes while the cores were
// loaded four times over; with 30 ms it did not.
constexpr int kQtBufferMs = 30;
// The sound server asks for audio itself, as its sink needs it, 5 ms at a time: 20 ms in all,
// its sink's share included, ran through ten minutes of loaded cores without running dry;
// 15 ms ran dry once in five.
constexpr int kServerBufferMs = 20;
constexpr int kServerRequestMs = 5;
// Underruns this close together are one gap.
constexpr qint64 kSameGapNs = 50000000;
// A push later than this after the device ran out of what it had is a gap.
constexpr qint64 kDryToleranceNs = 5000000;
// The device pauses after this long with nothing to play.
constexpr qint64 kIdleNs = 1000000000;
} // namespace

Playout::Playout(JitterBuffer &jitterBuffer, const QElapsedTimer &steadyClock, QObject *parent)
    : QObject(parent)
    , buffer(jitterBuffer)
    , clock(steadyClock)
{
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &Playout::onClockTick);
}

Playout::~Playout()
{
    stop();
}

QAudioFormat Playout::format()
{
    QAudioFormat format;
    format.setSampleRate(kSampleRate);
    format.setChannelCount(1);
    format.setSampleSize(16);
    format.setSampleType(QAudioFormat::SignedInt);
    format.setByteOrder(QAudioFormat::Endian(QSysInfo::ByteOrder));
    format.setCodec(QStringLiteral("audio/pcm"));
    return format;
}

bool Playout::startPlayback(const QAudioDeviceInfo &info)
{
    stop();
    if (info.isNull()) {
        error = QStringLiteral("no audio output device");
        return false;
    }
    if (!info.isFormatSupported(format())) {
        error = QStringLiteral("%1 cannot play 48000 Hz mono 16-bit audio").arg(info.deviceName());
        return false;
    }
    writes = 0;
    running = false;
    failed = false;
    lastAudioNs = clock.nsecsElapsed();
    // On Linux Qt's devices outside its ALSA plugin are the sound server's sinks.
    if (info.realm() != QLatin1String("alsa") && PulseOutput::isUsable()) {
        pulse = std::make_unique<PulseOutput>(
            [this](qint16 *samples, int count) { fillDevice(samples, count); });
        connect(pulse.get(), &PulseOutput::underflow, this, &Playout::ranDry);
        connect(pulse.get(), &PulseOutput::failed, this, &Playout::outputFailed);
        // The default device follows the user's choice of default, also later.
        const bool isDefault = info == QAudioDeviceInfo::defaultOutputDevice();
        if (pulse->start(isDefault ? QString() : info.deviceName(), kServerBufferMs,
                         kServerRequestMs)) {
            return true;
        }
        pulse.reset();
    }
    output = std::make_unique<QAudioOutput>(info, format());
    output->setBufferSize(format().bytesForDuration(qint64(kQtBufferMs) * 1000));
    connect(output.get(), &QAudioOutput::stateChanged, this, &Playout::onStateChanged);
    // Push mode (QAudioOutput::start() returning the device to write to).
    device = output->start();
    if (!device || output->error() != QAudio::NoError) {
        error = QStringLiteral("%1 cannot be opened").arg(info.deviceName());
        output.reset();
        device = nullptr;
        return false;
    }
    timer.start(kPushTickMs);
    return true;
}

void Playout::startClock()
{
    stop();
    clockStartNs = clock.nsecsElapsed();
    samplesTaken = 0;
    timer.start(kClockTickMs);
}

void Playout::stop()
{
    timer.stop();
    paused = false;
    if (output) {
        output->disconnect(this);
        output->stop();
        output.reset();
    }
    pulse.reset();
    device = nullptr;
}

double Playout::queuedMs() const
{
    if (pulse) {
        return pulse->queuedMs();
    }
    return output ? (output->bufferSize() - output->bytesFree()) * 1000.0 / 2 / kSampleRate : 0;
}

void Playout::pullInto(qint16 *samples, int count)
{
    if (beforePull) {
        beforePull();
    }
    if (gap) {
        gap = false;
        buffer.skipToTarget();
    }
    const int streamSamples = buffer.pull(samples, count);
    if (onAudio) {
        onAudio(samples, count, streamSamples);
    }
    const qint64 now = clock.nsecsElapsed();
    if (streamSamples > 0 || buffer.bufferedMs() > 0) {
        lastAudioNs = now;
    } else if (now - lastAudioNs > kIdleNs) {
        pause();
    }
}

void Playout::pause()
{
    if (paused || (!pulse && !output)) {
        return;
    }
    paused = true;
    // Qt's output is suspended once this push is written.
    if (pulse) {
        pulse->setPaused(true);
    }
}

void Playout::wake()
{
    if (!paused) {
        return;
    }
    paused = false;
    lastAudioNs = clock.nsecsElapsed();
    if (pulse) {
        // The stream starts afresh: its first write is silence again, while the server resumes.
        writes = 0;
        pulse->setPaused(false);
    } else {
        output->resume();
        // What was queued before the pause is still there: no gap to report.
        lastPushNs = lastAudioNs;
        timer.start(kPushTickMs);
    }
}

void Playout::onClockTick()
{
    if (output) {
        pushToDevice();
        return;
    }
    const qint64 due =
        (clock.nsecsElapsed() - clockStartNs) * kSampleRate / 1000000000 - samplesTaken;
    if (due <= 0) {
        return;
    }
    block.resize(int(std::min<qint64>(due, kMaxClockPullSamples)));
    pullInto(block.data(), block.size());
    // After a long stall the clock skips ahead rather than rushing to catch up.
    samplesTaken += due;
}

void Playout::pushToDevice()
{
    // What was queued at the last push has run out before this one: this process stalled, and
    // a gap was heard.
    const qint64 now = clock.nsecsElapsed();
    if (writes > 1 && now - lastPushNs > queuedAtPushNs + kDryToleranceNs) {
        ranDry();
    }
    // Whole samples, whatever the device's free space; nothing until 5 ms can go at once.
    const int count = output->bytesFree() / 2;
    if (count < kSampleRate / 200) {
        return;
    }
    block.resize(count);
    fillDevice(block.data(), count);
    device->write(reinterpret_cast<const char *>(block.constData()), qint64(count) * 2);
    lastPushNs = now;
    queuedAtPushNs = qint64(queuedMs() * 1e6);
    if (paused) {
        timer.stop();
        output->suspend();
    }
}

void Playout::fillDevice(qint16 *samples, int count)
{
    // The first write fills the device's buffer with silence: a sound server may take a while to
    // start playing a new stream, and the stream must not start before it does. The second
    // write shows it is playing.
    if (writes > 0) {
        pullInto(samples, count);
    }
    if (writes == 0 || muted) {
        std::fill(samples, samples + count, qint16(0));
    }
    if (++writes == 2 && !std::exchange(running, true)) {
        emit outputRunning();
    }
}

void Playout::ranDry()
{
    // The sound server and this process may both notice the same gap.
    const qint64 now = clock.nsecsElapsed();
    if (underrunCount > 0 && now - lastDryNs < kSameGapNs) {
        return;
    }
    lastDryNs = now;
    ++underrunCount;
    gap = true;
}

void Playout::onStateChanged(QAudio::State state)
{
    if (state == QAudio::IdleState && output && output->error() == QAudio::UnderrunError) {
        ranDry();
    }
    if (state == QAudio::StoppedState && output && output->error() != QAudio::NoError) {
        const QAudio::Error code = output->error();
        outputFailed(code == QAudio::FatalError
                         ? QStringLiteral("the output device failed")
                         : QStringLiteral("the output device stopped (%1)").arg(int(code)));
    }
}

void Playout::outputFailed(const QString &reason)
{
    if (!failed) {
        failed = true;
        error = reason;
        emit playbackFailed(error);
    }
}

} // namespace player
