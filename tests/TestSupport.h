#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QHostAddress>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <sstream>

// Keeps the discovery listeners of this process off the network (loopback unicast only) and
// returns the port they listen on.
quint16 isolateDiscovery();

// Points the per-user settings store at a temporary folder for the lifetime of the object, sets
// the application identity the program uses and isolates discovery.
class SettingsSandbox
{
public:
    SettingsSandbox();
    QString path() const { return dir.path(); }
    // Removes everything stored so far.
    void reset();

private:
    QTemporaryDir dir;
};

// A private PulseAudio server with the given null sinks and sources, reachable only through a
// socket in a temporary folder. Qt's audio devices then come from it alone.
class PulseServer
{
public:
    struct Layout {
        QStringList nullSinks;
        QStringList nullSources;
        QString defaultSource; // empty: the server's own choice
    };

    ~PulseServer();
    // Starts the server and makes this process's audio clients use it. On failure returns
    // false and leaves the reason in errorString(). After stop() it starts again on the same
    // socket.
    bool start(const Layout &layout);
    void stop();
    QString errorString() const { return error; }
    qint64 processId() const { return server.processId(); }
    // The server as PULSE_SERVER and the clients' --server option name it.
    QString serverAddress() const { return QStringLiteral("unix:") + socket; }
    bool pactl(const QStringList &arguments, QString *output = nullptr);

private:
    std::unique_ptr<QTemporaryDir> dir;
    QProcess server;
    QString socket;
    QString error;
};

// Limits Qt's audio backends to PulseAudio, so the machine's own ALSA devices never show up in
// a test's device list. Must run before the first audio device query of the process.
bool usePulseAudioBackendOnly(QString *errorString);

// Sends the datagrams in real time, one every frameMs, from a socket bound to source, to port
// on the loopback address; those for which skip is true are left out. worstLateMs gets how late
// the most belated datagram went out (a busy machine stalls the sender). False when source
// cannot be bound.
bool sendPaced(const QList<QByteArray> &datagrams, const QHostAddress &source, quint16 port,
               int frameMs = 20, const std::function<bool(int)> &skip = {},
               qint64 *worstLateMs = nullptr);

// Collects what the program writes to standard output while the object lives.
class CapturedStdout
{
public:
    CapturedStdout();
    ~CapturedStdout();
    CapturedStdout(const CapturedStdout &) = delete;
    CapturedStdout &operator=(const CapturedStdout &) = delete;
    QStringList lines() const;

private:
    std::ostringstream buffer;
    std::streambuf *previous;
};

#endif // TESTSUPPORT_H
