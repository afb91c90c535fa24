#ifndef PLAYER_WEBRTCUPNP_H
#define PLAYER_WEBRTCUPNP_H

// Inline, for a program that runs webrtcbin of its own (the web benchmark's call client) without
// the player library being built with GStreamer.

#include <gst/gst.h>

namespace player
{

// Libnice looks for a UPnP router on port 1900 unless told not to; a LAN call has no need. Its
// agents exist once webrtcbin has made the call's transports: before set-local-description,
// which starts gathering.
inline void disableUpnp(GstElement *webrtc)
{
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(webrtc));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GObject *element = G_OBJECT(g_value_get_object(&item));
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "agent")) {
            GObject *agent = nullptr;
            g_object_get(element, "agent", &agent, nullptr);
            if (agent && g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "upnp")) {
                g_object_set(agent, "upnp", FALSE, nullptr);
            }
            if (agent) {
                g_object_unref(agent);
            }
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

} // namespace player

#endif // PLAYER_WEBRTCUPNP_H
