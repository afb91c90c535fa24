#include "Playout.h"

#include "JitterBuffer.h"
#include "OpusPacket.h"

#include <QAudioOutput>
#include <QVector>

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
// Underruns this close together are one gap.
constexpr qint64 kSameGapNs = 50000000;
// A push later than this after the device ran out of what it had is a gap.
constexpr qint64 kDryToleranceNs = 5000000;
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

bool Playout::startPlayback(const QAudioDeviceInfo &info, int bufferMs)
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
    output = std::make_unique<QAudioOutput>(info, format());
    output->setBufferSize(format().bytesForDuration(qint64(bufferMs) * 1000));
    connect(output.get(), &QAudioOutput::stateChanged, this, &Playout::onStateChanged);
    // Push mode (QAudioOutput::start() returning the device to write to).
    device = output->start();
    if (!device || output->error() != QAudio::NoError) {
        error = QStringLiteral("%1 cannot be opened").arg(info.deviceName());
        output.reset();
        device = nullptr;
        return false;
    }
    writes = 0;
    failed = false;
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
    if (output) {
        output->disconnect(this);
        output->stop();
        output.reset();
    }
    device = nullptr;
}

int Playout::outputBufferMs() const
{
    return output ? int(format().durationForBytes(output->bufferSize()) / 1000) : 0;
}

double Playout::queuedMs() const
{
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
    // The first write fills the device's buffer with silence: a sound server may take a while to
    // start playing a new stream, and the stream must not start before it does. The second
    // write shows it is playing.
    if (writes == 0) {
        std::fill(block.begin(), block.end(), qint16(0));
    } else {
        pullInto(block.data(), count);
        if (muted) {
            std::fill(block.begin(), block.end(), qint16(0));
        }
    }
    device->write(reinterpret_cast<const char *>(block.constData()), qint64(count) * 2);
    lastPushNs = now;
    queuedAtPushNs = qint64(queuedMs() * 1e6);
    if (++writes == 2) {
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
    if (state == QAudio::StoppedState && output && output->error() != QAudio::NoError && !failed) {
        failed = true;
        const QAudio::Error code = output->error();
        error = code == QAudio::FatalError
                    ? QStringLiteral("the output device failed")
                    : QStringLiteral("the output device stopped (%1)").arg(int(code));
        emit playbackFailed(error);
    }
}

} // namespace player
