#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QHostAddress>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <functional>
#include <memory>
#include <sstream>
#include <vector>

namespace player
{
class JitterBuffer;
}

// Keeps this process's discovery listeners off the network (loopback unicast only); returns the
// port they listen on.
quint16 isolateDiscovery();

// Points the per-user settings store at a temporary folder while it lives, sets the program's
// identity and isolates discovery.
struct SettingsSandbox {
    SettingsSandbox();
    void reset(); // removes everything stored
    QTemporaryDir dir;
};

// A private PulseAudio server with null sinks and sources, reachable only through a socket in a
// temporary folder; this process (and Qt, limited to its PulseAudio backend) uses it alone.
class PulseServer
{
public:
    struct Layout {
        QStringList nullSinks;
        QStringList nullSources;
        QString defaultSource; // empty: the server's own choice
    };
    ~PulseServer() { stop(); }
    // False, with errorString(), when it cannot start; after stop() it starts on the same socket.
    bool start(const Layout &layout);
    void stop();
    QString errorString() const { return error; }
    qint64 processId() const { return server.processId(); }
    QString serverAddress() const { return "unix:" + socket; }
    bool pactl(const QStringList &arguments, QString *output = nullptr);

private:
    std::unique_ptr<QTemporaryDir> dir;
    QProcess server;
    QString socket;
    QString error;
};

// Starts the server for the tests that follow, or skips them loudly.
#define REQUIRE_PULSE(server, ...)                                                                 \
    if (!(server).start(__VA_ARGS__))                                                              \
    QSKIP(qPrintable("SKIPPED, no PulseAudio server: " + (server).errorString()))

// Sends the datagrams in real time, one every frameMs, from source to port on 127.0.0.1,
// leaving out those for which skip is true; worstLateMs gets how late the latest went out (a
// busy machine stalls the sender).
bool sendPaced(const QList<QByteArray> &datagrams, const QHostAddress &source, quint16 port,
               int frameMs = 20, const std::function<bool(int)> &skip = {},
               qint64 *worstLateMs = nullptr);

// Plays a stream through buffer on simulated time: the sender's sound server hands over 50 ms at
// once (20, 20 and 10 ms frames) on a clock senderPpm off the sound card's, which takes 10 ms at
// a time; at each spike's time (first, in ms) the network holds everything back for its second
// ms. tick runs after each pull with the simulated time.
void simulateStream(player::JitterBuffer &buffer, qint64 durationMs, double senderPpm,
                    const QList<QPair<qint64, int>> &spikes,
                    const std::function<void(qint64)> &tick);

// Collects what the program writes to standard output while it lives.
struct CapturedStdout {
    CapturedStdout();
    ~CapturedStdout();
    QStringList lines() const;
    std::ostringstream buffer;
    std::streambuf *previous;
};

// The sender's receiver on an address of loopback: every datagram of the stream port, and every
// connection to the WebSocket endpoint.
struct Receiver {
    explicit Receiver(const QString &address = "127.0.0.1");
    void closeAll();
    QUdpSocket udp;
    QWebSocketServer server{"receiver", QWebSocketServer::NonSecureMode};
    QList<QByteArray> datagrams;
    std::vector<std::unique_ptr<QWebSocket>> peers;
};

// The player program as a test runs it; prefix runs it through another program (ip netns exec).
struct PlayerProcess {
    explicit PlayerProcess(const QStringList &arguments, const QStringList &prefix = {});
    ~PlayerProcess();
    // Waits until it has printed text; false when it does not (or has ended).
    bool waitFor(const QString &text, int timeoutMs = 10000);
    // Sends the signal and waits for the end: the exit code, or -1 when it crashed or hung.
    int stop(int signal);
    int finish(int timeoutMs = 10000);
    // A number of the closing summary, such as "blocks concealed"; -1 when missing.
    qint64 figure(const QString &label) const;
    QProcess process;
    QString output;
    QString errors;
};

// Chromium in a fresh profile on an Xvfb display of its own, kept off the network, driven over
// its DevTools protocol.
struct Chromium {
    ~Chromium();
    // Opens url, its sound going to the PulseAudio sink; false when it cannot.
    bool start(const QString &url, const QString &sink);
    // The value of a JavaScript expression in the page, evaluated as if the user had acted.
    QJsonValue evaluate(const QString &expression);
    QTemporaryDir profile;
    QProcess display;
    QProcess browser;
    QWebSocket devTools;
    QJsonObject reply;
};

#endif // TESTSUPPORT_H
