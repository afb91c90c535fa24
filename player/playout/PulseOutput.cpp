#include "PulseOutput.h"

#include <QAbstractEventDispatcher>

#include <algorithm>

#ifdef PLOVARIN_PULSE
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/glib-mainloop.h>
#include <pulse/operation.h>
#include <pulse/stream.h>
#endif

namespace player
{

PulseOutput::PulseOutput(Fill fillCallback, QObject *parent)
    : QObject(parent)
    , fill(std::move(fillCallback))
{
}

PulseOutput::~PulseOutput()
{
    close();
}

#ifdef PLOVARIN_PULSE

namespace
{
constexpr pa_sample_spec kSpec = {PA_SAMPLE_S16NE, 48000, 1};
} // namespace

bool PulseOutput::isUsable()
{
    // The connection's sockets and timers are glib sources of this thread's default context.
    const QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    return dispatcher && dispatcher->inherits("QEventDispatcherGlib");
}

bool PulseOutput::start(const QString &sink, int totalMs, int chunkMs)
{
    sinkName = sink.toUtf8();
    bufferMs = totalMs;
    requestMs = chunkMs;
    loop = pa_glib_mainloop_new(nullptr);
    context = loop ? pa_context_new(pa_glib_mainloop_get_api(loop), "Plovarin player") : nullptr;
    if (!context) {
        error = QStringLiteral("cannot talk to the sound server");
        close();
        return false;
    }
    pa_context_set_state_callback(context, &PulseOutput::onContextState, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = QStringLiteral("the sound server: %1")
                    .arg(QString::fromUtf8(pa_strerror(pa_context_errno(context))));
        close();
        return false;
    }
    return true;
}

void PulseOutput::close()
{
    if (stream) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }
    if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    if (loop) {
        pa_glib_mainloop_free(loop);
        loop = nullptr;
    }
}

void PulseOutput::fail(const QString &what)
{
    if (!error.isEmpty()) {
        return;
    }
    error = QStringLiteral("%1: %2").arg(
        what, QString::fromUtf8(pa_strerror(context ? pa_context_errno(context) : PA_ERR_UNKNOWN)));
    // Nothing more is asked of the fill callback; the owner closes this output.
    if (stream) {
        pa_stream_set_write_callback(stream, nullptr, nullptr);
    }
    emit failed(error);
}

void PulseOutput::onContextState(pa_context *context, void *self)
{
    auto *output = static_cast<PulseOutput *>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        output->openStream();
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        output->fail(QStringLiteral("the sound server went away"));
        break;
    default:
        break;
    }
}

void PulseOutput::openStream()
{
    stream = pa_stream_new(context, "Plovarin", &kSpec, nullptr);
    if (!stream) {
        fail(QStringLiteral("cannot create a stream"));
        return;
    }
    pa_stream_set_state_callback(stream, &PulseOutput::onStreamState, this);
    pa_stream_set_write_callback(stream, &PulseOutput::onWrite, this);
    pa_stream_set_underflow_callback(stream, &PulseOutput::onUnderflow, this);
    // The buffer is the whole way to the sink's output, the sink's own share included.
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(pa_usec_to_bytes(pa_usec_t(bufferMs) * 1000, &kSpec));
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(pa_usec_to_bytes(pa_usec_t(requestMs) * 1000, &kSpec));
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                         PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_playback(stream, sinkName.isEmpty() ? nullptr : sinkName.constData(),
                                   &attr, flags, nullptr, nullptr) < 0) {
        fail(QStringLiteral("cannot play on %1").arg(QString::fromUtf8(sinkName)));
    }
}

void PulseOutput::onStreamState(pa_stream *stream, void *self)
{
    auto *output = static_cast<PulseOutput *>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY && output->paused) {
        output->setPaused(true);
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        output->fail(QStringLiteral("the output stream stopped"));
    }
}

void PulseOutput::setPaused(bool pause)
{
    paused = pause;
    // A stream not ready yet is corked once it is.
    if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY) {
        return;
    }
    // Resumed, what was written before the pause goes: the stream fills up afresh.
    if (!paused) {
        if (pa_operation *operation = pa_stream_flush(stream, nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
    }
    if (pa_operation *operation = pa_stream_cork(stream, paused ? 1 : 0, nullptr, nullptr)) {
        pa_operation_unref(operation);
    }
}

void PulseOutput::onWrite(pa_stream *stream, size_t bytes, void *self)
{
    auto *output = static_cast<PulseOutput *>(self);
    while (bytes >= sizeof(qint16)) {
        void *data = nullptr;
        size_t size = bytes;
        if (pa_stream_begin_write(stream, &data, &size) < 0 || !data) {
            output->fail(QStringLiteral("cannot write to the output stream"));
            return;
        }
        size = std::min(size, bytes) / sizeof(qint16) * sizeof(qint16);
        if (size == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        output->fill(static_cast<qint16 *>(data), int(size / sizeof(qint16)));
        if (pa_stream_write(stream, data, size, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            output->fail(QStringLiteral("cannot write to the output stream"));
            return;
        }
        bytes -= size;
    }
}

void PulseOutput::onUnderflow(pa_stream *, void *self)
{
    emit static_cast<PulseOutput *>(self)->underflow();
}

double PulseOutput::queuedMs() const
{
    pa_usec_t latency = 0;
    int negative = 0;
    if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY ||
        pa_stream_get_latency(stream, &latency, &negative) < 0 || negative) {
        return 0;
    }
    return latency / 1000.0;
}

#else // Without PulseAudio's library, Qt's own output plays.

bool PulseOutput::isUsable()
{
    return false;
}

bool PulseOutput::start(const QString &, int, int)
{
    error = QStringLiteral("built without PulseAudio");
    return false;
}

double PulseOutput::queuedMs() const
{
    return 0;
}

void PulseOutput::setPaused(bool) {}

void PulseOutput::close() {}

#endif

} // namespace player
