#ifndef PLAYER_CONSOLE_H
#define PLAYER_CONSOLE_H

#include <QHostAddress>
#include <QString>

#include <cstdio>

namespace player
{

// What the status line shows, over the last status period.
struct StatusFigures {
    QHostAddress source;    // null while waiting
    QHostAddress connected; // the sender holding the WebSocket, or null
    double packetsPerSecond = 0;
    double kilobitsPerSecond = 0;
    qint64 concealed = 0; // 10 ms blocks, since the start
    qint64 dropped = 0;
    qint64 rejected = 0; // invalid and foreign datagrams, since the start
    int targetMs = 0;    // what the buffer holds at its lowest
    double delayMs = 0;  // buffered and queued in the output device
    double ratePpm = 0;  // how much faster than the sound card the stream is played
    double peak = 0;     // 0..1
};

// One line of status text; meterWidth characters of level meter.
QString statusText(const StatusFigures &figures, int meterWidth = 12);

// The player's console: messages on lines of their own, and the status line, redrawn in place
// on a terminal and written as plain lines every plainInterval updates otherwise.
class Console
{
public:
    explicit Console(std::FILE *stream = stdout);
    bool isTerminal() const { return terminal; }
    void message(const QString &text);
    void status(const QString &text);
    // Ends the status line, so that what follows starts on a line of its own.
    void finish();

private:
    std::FILE *stream;
    bool terminal;
    bool statusShown = false;
    QString lastStatus;
    int updates = 0;
};

} // namespace player

#endif // PLAYER_CONSOLE_H
