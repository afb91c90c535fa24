#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QHostAddress>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
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

// Points the per-user settings store at a temporary folder while it lives, sets the program's
// identity and keeps discovery off the network.
struct SettingsSandbox {
    SettingsSandbox();
    QTemporaryDir dir;
};

// A private PulseAudio server with null sinks and sources, which this process (and Qt, limited
// to its PulseAudio backend) uses alone.
class PulseServer
{
public:
    struct Layout {
        QStringList nullSinks;
        QStringList nullSources;
        QString defaultSource; // empty: the server's own choice
    };
    ~PulseServer() { stop(); }
    // False, with errorString(), when it cannot start.
    bool start(const Layout &layout);
    void stop();
    QString errorString() const { return error; }
    qint64 processId() const { return server.processId(); }
    QString serverAddress() const { return "unix:" + socket; }

private:
    bool pactl(const QStringList &arguments);
    QTemporaryDir dir;
    QProcess server;
    QString socket;
    QString error;
};

// A prerequisite the test cannot run without: under CI (CI=true) its absence fails the test with
// the reason, elsewhere the test is skipped, saying what is missing.
#define REQUIRE(condition, reason)                                                                 \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            const QByteArray why = QString(reason).toUtf8();                                       \
            if (qEnvironmentVariable("CI") == QLatin1String("true")) {                             \
                QFAIL(("missing under CI: " + why).constData());                                   \
            }                                                                                      \
            QSKIP(("SKIPPED, missing: " + why).constData());                                       \
        }                                                                                          \
    } while (false)

// Starts the server for the tests that follow.
#define REQUIRE_PULSE(server, ...)                                                                 \
    REQUIRE((server).start(__VA_ARGS__), "a PulseAudio server: " + (server).errorString())

// Sends the datagrams one every frameMs, from source to port on 127.0.0.1, but those to skip;
// worstLateMs gets how late the latest went out.
bool sendPaced(const QList<QByteArray> &datagrams, const QHostAddress &source, quint16 port,
               int frameMs = 20, const std::function<bool(int)> &skip = {},
               qint64 *worstLateMs = nullptr);

// Plays a stream through buffer on simulated time: 50 ms at once (20, 20, 10 ms frames) on a
// clock senderPpm off the sound card's, which takes 10 ms at a time; each spike holds everything
// back from its first ms for its second ms; tick runs after each pull.
void simulateStream(player::JitterBuffer &buffer, qint64 durationMs, double senderPpm,
                    const QList<QPair<qint64, int>> &spikes,
                    const std::function<void(qint64)> &tick);

// A connection to port on 127.0.0.1 from a loopback address (127.0.0.x) that sends request.
std::unique_ptr<QTcpSocket> connectFrom(const QString &from, quint16 port,
                                        const QByteArray &request);
// A WebSocket handshake for path, with the header lines more.
QByteArray upgradeRequest(const QByteArray &path, const QByteArray &more = "Host: 127.0.0.1\r\n");

// Collects what the program writes to standard output while it lives.
struct CapturedStdout {
    CapturedStdout();
    ~CapturedStdout();
    QStringList lines() const;
    std::ostringstream buffer;
    std::streambuf *previous;
};

// The sender's receiver on a loopback address: the stream port's datagrams, the WebSocket's peers.
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
    // Waits until it has printed text; false when it does not.
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

// Chromium calls only from the interface of the default route, which loopback is not: this
// gives a network namespace of the caller's own one that leads nowhere (a veth pair within it).
void addDeadEndRoute();

// Chromium on an Xvfb display of its own, kept off the network, driven over DevTools.
struct Chromium {
    ~Chromium();
    // Opens url, its sound going to the PulseAudio sink; false when it cannot. Several start
    // at once when all are launched before each is attached to.
    bool start(const QString &url, const QString &sink) { return launch(url, sink), attach(); }
    void launch(const QString &url, const QString &sink);
    bool attach();
    // The value of a JavaScript expression in the page, evaluated as if the user had acted.
    QJsonValue evaluate(const QString &expression);
    QTemporaryDir profile;
    QProcess display;
    QProcess browser;
    QWebSocket devTools;
    QJsonObject reply;
};

#endif // TESTSUPPORT_H
