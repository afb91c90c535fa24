#include "WebRtcListeners.h"

#include <QJsonDocument>
#include <QScopeGuard>
#include <QThreadPool>

#include <algorithm>
#include <atomic>

#ifdef PLOVARIN_WEBRTC
#define GST_USE_UNSTABLE_API // webrtcbin's API is still marked unstable in Debian 12's GStreamer
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include "WebRtcUpnp.h"
#endif

namespace player
{

#ifndef PLOVARIN_WEBRTC

struct WebRtcListeners::Pipeline {
};
struct WebRtcListeners::Peer {
};

WebRtcListeners::WebRtcListeners(QObject *parent)
    : QObject(parent)
{
}
WebRtcListeners::~WebRtcListeners() = default;
bool WebRtcListeners::isAvailable()
{
    return false;
}
bool WebRtcListeners::add(quint64, const QHostAddress &, QString *reason)
{
    if (reason) {
        *reason = QStringLiteral("this player was built without WebRTC");
    }
    return false;
}
void WebRtcListeners::remove(quint64) {}
void WebRtcListeners::handleMessage(quint64, const QJsonObject &) {}
void WebRtcListeners::pushPacket(const QByteArray &, qint64) {}
bool WebRtcListeners::startPipeline(QString *)
{
    return false;
}
void WebRtcListeners::stopPipeline() {}
void WebRtcListeners::pollBus() {}
void WebRtcListeners::onOffer(quint64, const QByteArray &) {}
void WebRtcListeners::onStateChange(quint64, int) {}
void WebRtcListeners::fail(quint64, const QString &) {}
bool WebRtcListeners::isCurrent(quint64, quint64) const
{
    return false;
}

#else

namespace
{
QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

constexpr int kSampleRate = 48000;
constexpr int kBusPeriodMs = 250;
// Each call's own queue: a stalled one loses its oldest audio beyond this.
constexpr guint64 kPeerQueueNs = 200 * GST_MSECOND;
// Timestamps follow the stream's positions (which go on by the time of a pause between
// streams); beyond this from the clock (a sender's clock far off after hours, a flood) they
// start again from the clock.
constexpr GstClockTimeDiff kMaxTimestampSkewNs = 500 * GST_MSECOND;
// A page sends a few candidates per call; more is not a page.
constexpr int kMaxRemoteCandidates = 32;
// Chromium rejects an Opus line without the channel count of two, whatever the stream holds.
constexpr const char *kRtpCaps = "application/x-rtp,media=audio,encoding-name=OPUS,"
                                 "clock-rate=48000,payload=96,encoding-params=(string)2";

struct ObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
template <typename T> using GstPtr = std::unique_ptr<T, ObjectUnref>;

GstPtr<GstElement> makeElement(const char *factory)
{
    GstElement *element = gst_element_factory_make(factory, nullptr);
    return GstPtr<GstElement>(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
}

// webrtcbin holds each packet until its timestamp and the pipeline's latency have passed (some
// 60-80 ms in all): the packets come at the stream's pace already, and go on as they come.
void sendAsTheyCome(GstBin *, GstBin *, GstElement *element, gpointer)
{
    GstElementFactory *factory = gst_element_get_factory(element);
    if (factory && g_str_equal(GST_OBJECT_NAME(factory), "clocksync")) {
        g_object_set(element, "sync", FALSE, nullptr);
    }
}
} // namespace

struct WebRtcListeners::Pipeline {
    GstPtr<GstElement> bin;
    GstPtr<GstElement> source;
    GstPtr<GstElement> pay;
    GstPtr<GstElement> filter;
    GstPtr<GstElement> tee;
    GstPtr<GstBus> bus;
    bool anchored = false;
    GstClockTime anchorTime = 0;
    qint64 anchorPosition = 0;
};

// What GStreamer's threads know of a call: its owner and which call it is. Everything they learn
// goes to the owner's thread in queued calls.
struct CallId {
    WebRtcListeners *owner;
    quint64 id;
    quint64 serial;
};
struct CallContext {
    CallId call;
    // Audio passes to the call only once it has connected: what would pile up meanwhile (in
    // its queue, or behind webrtcbin's blocked pads) would reach the browser at once, and its
    // jitter buffer holds such a start for good.
    std::atomic<bool> flowing{false};
};

struct WebRtcListeners::Peer {
    quint64 serial = 0;
    std::unique_ptr<CallContext> context;
    GstPtr<GstElement> queue;
    GstPtr<GstElement> webrtc;
    GstPtr<GstPad> teePad;
    bool answered = false;
    bool connected = false;
    int remoteCandidates = 0;
};

namespace
{
quint64 nextSerial = 1;
} // namespace

WebRtcListeners::WebRtcListeners(QObject *parent)
    : QObject(parent)
{
    busTimer.setInterval(kBusPeriodMs);
    connect(&busTimer, &QTimer::timeout, this, &WebRtcListeners::pollBus);
}

WebRtcListeners::~WebRtcListeners()
{
    // Stopping the pipelines joins GStreamer's threads before anything they point at goes.
    stopPipeline();
    stopping.waitForDone();
}

bool WebRtcListeners::isAvailable()
{
    static const bool available = [] {
        if (!gst_init_check(nullptr, nullptr, nullptr)) {
            return false;
        }
        for (const char *name : {"appsrc", "rtpopuspay", "capsfilter", "tee", "queue", "webrtcbin",
                                 "nicesrc", "nicesink", "dtlssrtpenc"}) {
            GstElementFactory *factory = gst_element_factory_find(name);
            if (!factory) {
                return false;
            }
            gst_object_unref(factory);
        }
        // A call's first elements take tens of ms to make (plugins loaded, classes set up),
        // which the player's thread, handing out audio, must not wait for: made once here, on
        // another thread, and thrown away.
        QThreadPool::globalInstance()->start([] {
            for (const char *name :
                 {"appsrc", "rtpopuspay", "capsfilter", "tee", "queue", "webrtcbin"}) {
                if (GstElement *element = gst_element_factory_make(name, nullptr)) {
                    gst_object_unref(gst_object_ref_sink(element));
                }
            }
        });
        return true;
    }();
    return available;
}

bool WebRtcListeners::startPipeline(QString *reason)
{
    auto p = std::make_unique<Pipeline>();
    p->bin.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("webrtc-listeners"))));
    p->source = makeElement("appsrc");
    p->pay = makeElement("rtpopuspay");
    p->filter = makeElement("capsfilter");
    GstElement *pay = p->pay.get();
    GstElement *filter = p->filter.get();
    p->tee = makeElement("tee");
    if (!p->source || !pay || !filter || !p->tee) {
        *reason = QStringLiteral("GStreamer's elements for WebRTC are missing");
        return false;
    }
    GstCaps *opus = gst_caps_from_string(
        "audio/x-opus,rate=48000,channels=1,channel-mapping-family=0,stream-count=1,"
        "coupled-count=0");
    // Bounded: at most a quarter second waits for the payloader, the oldest going first.
    g_object_set(p->source.get(), "caps", opus, "format", GST_FORMAT_TIME, "is-live", TRUE,
                 "do-timestamp", FALSE, "max-bytes", guint64(8000), "block", FALSE, nullptr);
    gst_util_set_object_arg(G_OBJECT(p->source.get()), "leaky-type", "downstream");
    gst_caps_unref(opus);
    GstCaps *rtp = gst_caps_from_string(kRtpCaps);
    g_object_set(filter, "caps", rtp, nullptr);
    gst_caps_unref(rtp);
    g_object_set(p->tee.get(), "allow-not-linked", TRUE, nullptr);
    gst_bin_add_many(GST_BIN(p->bin.get()), GST_ELEMENT(gst_object_ref(p->source.get())),
                     GST_ELEMENT(gst_object_ref(pay)), GST_ELEMENT(gst_object_ref(filter)),
                     GST_ELEMENT(gst_object_ref(p->tee.get())), nullptr);
    if (!gst_element_link_many(p->source.get(), pay, filter, p->tee.get(), nullptr) ||
        gst_element_set_state(p->bin.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(p->bin.get(), GST_STATE_NULL);
        *reason = QStringLiteral("the WebRTC pipeline does not start");
        return false;
    }
    p->bus.reset(gst_element_get_bus(p->bin.get()));
    pipeline = std::move(p);
    busTimer.start();
    return true;
}

void WebRtcListeners::stopPipeline()
{
    busTimer.stop();
    if (!pipeline) {
        return;
    }
    // Stopped on a thread of its own: webrtcbin takes a while to close, which the player's
    // thread, handing out audio, must not wait for. The calls' contexts go once no thread runs.
    struct Stopping {
        std::unique_ptr<Pipeline> pipeline;
        std::map<quint64, std::unique_ptr<Peer>> peers;
    };
    auto stopped = std::make_shared<Stopping>(Stopping{std::move(pipeline), std::move(peers)});
    peers.clear();
    stopping.start(
        [stopped] { gst_element_set_state(stopped->pipeline->bin.get(), GST_STATE_NULL); });
}

void WebRtcListeners::pollBus()
{
    // Polled rather than watched: on Windows and macOS Qt's event loop is not GLib's.
    while (pipeline) {
        GstMessage *message = gst_bus_pop_filtered(pipeline->bus.get(), GST_MESSAGE_ERROR);
        if (!message) {
            return;
        }
        GError *error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        const QString text = QString::fromUtf8(error ? error->message : "unknown error");
        g_clear_error(&error);
        // An error inside one call ends that call; one in the shared part ends them all; one
        // from a call already gone (closing) is its own.
        quint64 culprit = 0;
        for (const auto &[id, peer] : peers) {
            if (gst_object_has_as_ancestor(GST_MESSAGE_SRC(message),
                                           GST_OBJECT(peer->webrtc.get())) ||
                GST_MESSAGE_SRC(message) == GST_OBJECT(peer->queue.get())) {
                culprit = id;
            }
        }
        const Pipeline &p = *pipeline;
        bool shared = false;
        for (GstElement *element :
             {p.bin.get(), p.source.get(), p.pay.get(), p.filter.get(), p.tee.get()}) {
            shared = shared || GST_MESSAGE_SRC(message) == GST_OBJECT(element);
        }
        gst_message_unref(message);
        if (culprit) {
            fail(culprit, text);
            continue;
        }
        if (!shared) {
            continue;
        }
        std::vector<quint64> ids;
        for (const auto &entry : peers) {
            ids.push_back(entry.first);
        }
        stopPipeline();
        for (quint64 id : ids) {
            emit failed(id, text);
        }
    }
}

bool WebRtcListeners::add(quint64 id, const QHostAddress &localAddress, QString *reason)
{
    QString why;
    reason = reason ? reason : &why;
    remove(id);
    if (!isAvailable()) {
        *reason = QStringLiteral("GStreamer's WebRTC elements are not installed");
        return false;
    }
    if (!pipeline && !startPipeline(reason)) {
        return false;
    }
    // Nothing runs without a call.
    const auto stopIfIdle = qScopeGuard([this] {
        if (peers.empty()) {
            stopPipeline();
        }
    });
    auto peer = std::make_unique<Peer>();
    peer->serial = nextSerial++;
    peer->context = std::make_unique<CallContext>();
    peer->context->call = {this, id, peer->serial};
    peer->queue = makeElement("queue");
    peer->webrtc = makeElement("webrtcbin");
    if (!peer->queue || !peer->webrtc) {
        *reason = QStringLiteral("GStreamer's webrtcbin is missing");
        return false;
    }
    g_object_set(peer->queue.get(), "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                 kPeerQueueNs, nullptr);
    gst_util_set_object_arg(G_OBJECT(peer->queue.get()), "leaky", "downstream");
    gst_util_set_object_arg(G_OBJECT(peer->webrtc.get()), "bundle-policy", "max-bundle");
    g_signal_connect(peer->webrtc.get(), "deep-element-added", G_CALLBACK(sendAsTheyCome), nullptr);
    GstWebRTCICE *ice = nullptr;
    g_object_get(peer->webrtc.get(), "ice-agent", &ice, nullptr);
    if (ice) {
        g_object_set(ice, "min-rtp-port", guint(kWebRtcFirstPort), "max-rtp-port",
                     guint(kWebRtcLastPort), nullptr);
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "ice-tcp")) {
            g_object_set(ice, "ice-tcp", FALSE, nullptr);
        }
        // The one address the page is known to reach: its WebSocket came in there.
        if (!localAddress.isNull()) {
            gboolean added = FALSE;
            const QByteArray text = localAddress.toString().toUtf8();
            g_signal_emit_by_name(ice, "add-local-ip-address", text.constData(), &added);
        }
        gst_object_unref(ice);
    }
    CallContext *context = peer->context.get();
    g_signal_connect(peer->webrtc.get(), "on-ice-candidate",
                     G_CALLBACK(+[](GstElement *, guint mline, gchar *candidate, gpointer data) {
                         const auto *c = static_cast<CallContext *>(data);
                         const QByteArray message =
                             json({{QStringLiteral("type"), QStringLiteral("candidate")},
                                   {QStringLiteral("candidate"), QString::fromUtf8(candidate)},
                                   {QStringLiteral("sdpMLineIndex"), int(mline)}});
                         const CallId copy = c->call;
                         QMetaObject::invokeMethod(
                             copy.owner,
                             [copy, message] {
                                 if (copy.owner->isCurrent(copy.id, copy.serial)) {
                                     emit copy.owner->sendMessage(copy.id, message);
                                 }
                             },
                             Qt::QueuedConnection);
                     }),
                     context);
    g_signal_connect(peer->webrtc.get(), "notify::connection-state",
                     G_CALLBACK(+[](GstElement *webrtc, GParamSpec *, gpointer data) {
                         GstWebRTCPeerConnectionState state;
                         g_object_get(webrtc, "connection-state", &state, nullptr);
                         auto *call = static_cast<CallContext *>(data);
                         call->flowing = state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED;
                         const CallId copy = call->call;
                         QMetaObject::invokeMethod(
                             copy.owner,
                             [copy, state] {
                                 if (copy.owner->isCurrent(copy.id, copy.serial)) {
                                     copy.owner->onStateChange(copy.id, int(state));
                                 }
                             },
                             Qt::QueuedConnection);
                     }),
                     context);
    GstBin *bin = GST_BIN(pipeline->bin.get());
    gst_bin_add_many(bin, GST_ELEMENT(gst_object_ref(peer->queue.get())),
                     GST_ELEMENT(gst_object_ref(peer->webrtc.get())), nullptr);
    GstPtr<GstPad> queueSrc(gst_element_get_static_pad(peer->queue.get(), "src"));
    GstPtr<GstPad> sink(gst_element_request_pad_simple(peer->webrtc.get(), "sink_%u"));
    GstWebRTCRTPTransceiver *transceiver = nullptr;
    if (sink) {
        g_object_get(sink.get(), "transceiver", &transceiver, nullptr);
    }
    if (!transceiver || gst_pad_link(queueSrc.get(), sink.get()) != GST_PAD_LINK_OK) {
        if (transceiver) {
            gst_object_unref(transceiver);
        }
        gst_bin_remove_many(bin, peer->queue.get(), peer->webrtc.get(), nullptr);
        *reason = QStringLiteral("webrtcbin takes no audio");
        return false;
    }
    // One offer, made here once direction and codec are set: webrtcbin's own calls for
    // negotiation come several times, some before the caps are known.
    GstCaps *caps = gst_caps_from_string(kRtpCaps);
    g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY,
                 "codec-preferences", caps, nullptr);
    gst_caps_unref(caps);
    gst_object_unref(transceiver);
    // Playing before linking to the running tee: a peer linked first stalls every other.
    gst_element_sync_state_with_parent(peer->webrtc.get());
    gst_element_sync_state_with_parent(peer->queue.get());
    peer->teePad.reset(gst_element_request_pad_simple(pipeline->tee.get(), "src_%u"));
    GstPtr<GstPad> queueSink(gst_element_get_static_pad(peer->queue.get(), "sink"));
    gst_pad_add_probe(
        queueSink.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad *, GstPadProbeInfo *, gpointer data) {
            return static_cast<CallContext *>(data)->flowing ? GST_PAD_PROBE_OK
                                                             : GST_PAD_PROBE_DROP;
        },
        context, nullptr);
    gst_pad_link(peer->teePad.get(), queueSink.get());
    GstPromise *promise = gst_promise_new_with_change_func(
        [](GstPromise *reply, gpointer data) {
            const CallId copy = static_cast<CallContext *>(data)->call;
            GstWebRTCSessionDescription *offer = nullptr;
            const GstStructure *s = gst_promise_get_reply(reply);
            if (s) {
                gst_structure_get(s, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
            }
            QByteArray sdp;
            if (offer) {
                gchar *text = gst_sdp_message_as_text(offer->sdp);
                sdp = text;
                g_free(text);
            }
            gst_promise_unref(reply);
            QMetaObject::invokeMethod(
                copy.owner,
                [copy, sdp, offer] {
                    if (copy.owner->isCurrent(copy.id, copy.serial) && offer) {
                        GstElement *webrtc = copy.owner->peers.at(copy.id)->webrtc.get();
                        disableUpnp(webrtc);
                        g_signal_emit_by_name(webrtc, "set-local-description", offer, nullptr);
                        copy.owner->onOffer(copy.id, sdp);
                    } else if (copy.owner->isCurrent(copy.id, copy.serial)) {
                        copy.owner->fail(copy.id, QStringLiteral("no offer was made"));
                    }
                    if (offer) {
                        gst_webrtc_session_description_free(offer);
                    }
                },
                Qt::QueuedConnection);
        },
        context, nullptr);
    g_signal_emit_by_name(peer->webrtc.get(), "create-offer", nullptr, promise);
    peers[id] = std::move(peer);
    return true;
}

int WebRtcListeners::connectedCount() const
{
    return int(std::count_if(peers.begin(), peers.end(),
                             [](const auto &entry) { return entry.second->connected; }));
}

bool WebRtcListeners::isCurrent(quint64 id, quint64 serial) const
{
    const auto found = peers.find(id);
    return found != peers.end() && found->second->serial == serial;
}

void WebRtcListeners::onOffer(quint64 id, const QByteArray &sdp)
{
    emit sendMessage(id, json({{QStringLiteral("type"), QStringLiteral("offer")},
                               {QStringLiteral("sdp"), QString::fromUtf8(sdp)}}));
}

void WebRtcListeners::onStateChange(quint64 id, int state)
{
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED && !peers.at(id)->connected) {
        peers.at(id)->connected = true;
        emit connected(id);
    } else if (state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED) {
        fail(id, QStringLiteral("the connection failed"));
    }
}

void WebRtcListeners::fail(quint64 id, const QString &reason)
{
    remove(id);
    emit failed(id, reason);
}

void WebRtcListeners::remove(quint64 id)
{
    const auto found = peers.find(id);
    if (found == peers.end()) {
        return;
    }
    if (peers.size() == 1) {
        // The last call: the whole pipeline goes, and costs nothing until the next.
        stopPipeline();
        return;
    }
    std::unique_ptr<Peer> peer = std::move(found->second);
    peers.erase(found);
    g_signal_handlers_disconnect_by_data(peer->webrtc.get(), peer->context.get());
    // Off the tee once no buffer is passing, then out of the pipeline.
    GstPtr<GstPad> queueSink(gst_element_get_static_pad(peer->queue.get(), "sink"));
    GstPad *teePad = peer->teePad.get();
    GstElement *tee = pipeline->tee.get();
    gst_pad_add_probe(
        teePad, GST_PAD_PROBE_TYPE_IDLE,
        [](GstPad *pad, GstPadProbeInfo *, gpointer data) {
            GstElement *owner = GST_ELEMENT(data);
            GstPad *peerPad = gst_pad_get_peer(pad);
            if (peerPad) {
                gst_pad_unlink(pad, peerPad);
                gst_object_unref(peerPad);
            }
            gst_element_release_request_pad(owner, pad);
            return GST_PAD_PROBE_REMOVE;
        },
        gst_object_ref(tee), gst_object_unref);
    // Stopped and taken out on GStreamer's own thread: webrtcbin takes a while to close, which
    // the player's thread, handing out audio, must not wait for.
    struct Leaving {
        std::unique_ptr<Peer> peer;
        GstPtr<GstElement> bin;
    };
    auto *leaving = new Leaving{
        std::move(peer), GstPtr<GstElement>(GST_ELEMENT(gst_object_ref(pipeline->bin.get())))};
    gst_element_call_async(
        leaving->peer->webrtc.get(),
        [](GstElement *, gpointer data) {
            const auto *l = static_cast<Leaving *>(data);
            gst_element_set_state(l->peer->webrtc.get(), GST_STATE_NULL);
            gst_element_set_state(l->peer->queue.get(), GST_STATE_NULL);
            gst_bin_remove_many(GST_BIN(l->bin.get()), l->peer->queue.get(), l->peer->webrtc.get(),
                                nullptr);
        },
        leaving, [](gpointer data) { delete static_cast<Leaving *>(data); });
}

void WebRtcListeners::handleMessage(quint64 id, const QJsonObject &message)
{
    const auto found = peers.find(id);
    if (found == peers.end()) {
        return;
    }
    Peer &peer = *found->second;
    const QString type = message.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("answer") && !peer.answered) {
        peer.answered = true;
        GstSDPMessage *sdp = nullptr;
        const QByteArray text = message.value(QStringLiteral("sdp")).toString().toUtf8();
        if (gst_sdp_message_new_from_text(text.constData(), &sdp) != GST_SDP_OK) {
            fail(id, QStringLiteral("the page's answer is not SDP"));
            return;
        }
        GstWebRTCSessionDescription *answer =
            gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
        g_signal_emit_by_name(peer.webrtc.get(), "set-remote-description", answer, nullptr);
        gst_webrtc_session_description_free(answer);
    } else if (type == QLatin1String("candidate") && peer.answered &&
               peer.remoteCandidates < kMaxRemoteCandidates) {
        const QByteArray candidate = message.value(QStringLiteral("candidate")).toString().toUtf8();
        const int mline = message.value(QStringLiteral("sdpMLineIndex")).toInt(-1);
        // An address, or a browser's own mDNS name for one: no other name is looked up.
        const QString address = QString::fromUtf8(candidate).section(QLatin1Char(' '), 4, 4);
        if (candidate.isEmpty() || mline != 0 ||
            (QHostAddress(address).isNull() && !address.endsWith(QLatin1String(".local")))) {
            return; // the end of the candidates, or one this call does not take
        }
        ++peer.remoteCandidates;
        g_signal_emit_by_name(peer.webrtc.get(), "add-ice-candidate", guint(mline),
                              candidate.constData());
    }
}

void WebRtcListeners::pushPacket(const QByteArray &packet, qint64 position)
{
    if (!pipeline || packet.isEmpty()) {
        return; // with no call nothing is done at all
    }
    Pipeline &p = *pipeline;
    GstClockTime now = 0;
    if (GstClock *clock = gst_element_get_clock(p.bin.get())) {
        now = gst_clock_get_time(clock) - gst_element_get_base_time(p.bin.get());
        gst_object_unref(clock);
    }
    GstClockTime pts =
        p.anchorTime + gst_util_uint64_scale_int(GstClockTime(position - p.anchorPosition),
                                                 GST_SECOND, kSampleRate);
    if (!p.anchored || position < p.anchorPosition ||
        std::abs(GST_CLOCK_DIFF(now, pts)) > kMaxTimestampSkewNs) {
        p.anchored = true;
        p.anchorTime = now;
        p.anchorPosition = position;
        pts = now;
    }
    GstBuffer *buffer = gst_buffer_new_memdup(packet.constData(), gsize(packet.size()));
    GST_BUFFER_PTS(buffer) = pts;
    gst_app_src_push_buffer(GST_APP_SRC(p.source.get()), buffer);
}

#endif

} // namespace player
