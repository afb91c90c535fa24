#ifndef PLAYER_PLAYEROPTIONS_H
#define PLAYER_PLAYEROPTIONS_H

#include "WebServer.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

namespace player
{

// The program's exit codes.
enum ExitCode {
    kExitOk = 0,
    kExitFailure = 1,   // a fault while running
    kExitUsage = 2,     // bad arguments
    kExitPortInUse = 3, // a port of the player is taken, or the address cannot be bound
    kExitNoOutput = 4,  // no output device, or it cannot play
    kExitFileError = 5  // the WAV file cannot be written
};

constexpr int kMinLatencyMs = 10;
constexpr int kMaxLatencyMs = 2000;

struct PlayerOptions {
    QString device; // empty: the system's default output
    bool listDevices = false;
    int latencyMs = 0; // 0: adapts to the network
    QString wavPath;
    bool playback = true;
    double durationSeconds = 0; // 0: until stopped
    QHostAddress bindAddress{QHostAddress::Any};
    bool announce = true;
    QStringList interfaces; // empty: every suitable one
    bool web = true;
    quint16 webPort = kWebPort;
    bool allowFeedback = false; // plays locally a stream that comes from this machine
};

// The outcome of reading the command line: run with the options, or end at once with the
// exit code after printing output (help, version) or error (to standard error).
struct ParsedCommandLine {
    bool run = false;
    int exitCode = kExitOk;
    QString output;
    QString error;
    PlayerOptions options;
};

// arguments include the program name first, as QCoreApplication::arguments() gives them.
ParsedCommandLine parseCommandLine(const QStringList &arguments);

} // namespace player

#endif // PLAYER_PLAYEROPTIONS_H
