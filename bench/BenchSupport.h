#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

// What the benchmarks that run the real programs side by side share: a network namespace of
// their own, a process's CPU time and memory, the window driven offscreen in a child process,
// and programs that end with the scope.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <utility>

struct OpusDecoder;
class PulseServer;
struct Chromium;

namespace bench
{

// A benchmark that starts the programs or sends packets never runs on the host's network: unless
// PLOVARIN_NETNS_OWN is set (it is there already), it runs itself again with its arguments in a
// network namespace of its own with loopback up (unshare -n, as root) and does not return. False,
// having said why, when it cannot; the caller ends with a failure. First thing in main().
bool runInOwnNetworkNamespace(int argc, char *argv[]);

// User and system CPU time a process has used so far, all its threads, in ms; negative when it
// is gone.
double processCpuMs(qint64 pid);
// A line of /proc/PID/status such as "VmRSS:", as it stands there ("12345 kB"); "?" when gone.
QByteArray processStatus(qint64 pid, const char *field);
// The load averages of /proc/loadavg (1, 5 and 15 minutes), as they stand there.
QByteArray loadAverages();

// Runs pactl against server; output gets what it printed.
bool pactl(const PulseServer &server, const QStringList &arguments, QString *output = nullptr);

// Limits Qt's audio backends to PulseAudio in this process, so that the machine's own ALSA
// devices never show beside the private server's.
bool usePulseAudioBackendOnly(QString *problem);

// The window as a user runs it, offscreen: the source chosen in the list, the receiver address
// typed, Start pressed. A benchmark runs it in a child process of its own executable:
// windowArguments() for the child, runWindow() when the child finds kWindowMode first.
constexpr char kWindowMode[] = "--window";
QStringList windowArguments(const QString &source, const QString &receiver);
int runWindow(int argc, char *argv[]);

// A program started for a benchmark; terminated, then killed, when it goes out of scope. Its
// process may be set up (environment, channels) before start().
class Program
{
public:
    Program() = default;
    ~Program() { stop(); }
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;
    // False, with a message on standard error, when it does not start.
    bool start(const QString &program, const QStringList &arguments);
    qint64 processId() const { return process.processId(); }
    void stop();
    QProcess process;
};

// The window in a child process, offscreen, its log lines discarded.
bool startWindow(Program &window, const QString &source, const QString &receiver);
// A busy loop of the shell: one per core to be loaded.
bool startBusyLoop(Program &loop);

// Decodes the Opus packets of one 48 kHz mono stream, one after the other, into one signal.
class OpusStream
{
public:
    OpusStream();
    // Returns the packet's sample count, or a negative Opus error.
    int decode(const QByteArray &packet);
    const QVector<float> &samples() const { return decoded; }

private:
    std::unique_ptr<OpusDecoder, void (*)(OpusDecoder *)> decoder;
    QVector<float> decoded;
};

// Runs the event loop for ms.
void spin(int ms);

// The web page's paths, for benchmarks run as root in a network namespace of their own
// (addDeadEndRoute() gives Chromium its interface).
// Replaces the namespace's table "bench": counters of what the player sends to pages over
// WebRTC and the WebSocket, and rules (input: what is dropped; output: loss on the way out).
bool firewall(const QString &input, const QString &output);
// Bytes counted so far: over WebRTC, over the WebSocket.
std::pair<qint64, qint64> sentBytes();
// CPU time of a process and all its descendants (Chromium's renderer, audio and GPU processes).
double treeCpuMs(qint64 root);
// Chromium's page playing from the player on 127.0.0.1 into sink; path: what the page must say
// of its path.
bool startPage(Chromium &browser, const QString &sink, const QString &path);

} // namespace bench

#endif // BENCHSUPPORT_H
