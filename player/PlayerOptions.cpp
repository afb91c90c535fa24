#include "PlayerOptions.h"

#include "PresenceServer.h"
#include "StreamReceiver.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace player
{

namespace
{
ParsedCommandLine usageError(const QString &message)
{
    ParsedCommandLine result;
    result.exitCode = kExitUsage;
    result.error =
        QStringLiteral("plovarin-player: %1\nTry 'plovarin-player --help'.").arg(message);
    return result;
}

QString description()
{
    return QStringLiteral(
        "Plays the sound a Plovarin sender streams to this computer: Opus packets on UDP port "
        "10493, the sender's presence on WebSocket port 14213. Announces itself on the local "
        "network so the sender finds it, and serves a web page (port 14214) that plays the same "
        "sound in any phone's or computer's browser. Ctrl+C ends it.\n"
        "\n"
        "Exit codes: 0 ended normally, 1 failed while running, 2 bad arguments, 3 a port is in "
        "use or the address cannot be bound, 4 no output device or it cannot play, 5 the WAV "
        "file cannot be written.");
}
} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Shows the version and exits."));
    const QCommandLineOption device({QStringLiteral("d"), QStringLiteral("device")},
                                    QStringLiteral("Plays on the output device <name> "
                                                   "(default: the system's default output)."),
                                    QStringLiteral("name"));
    const QCommandLineOption listDevices(QStringLiteral("list-devices"),
                                         QStringLiteral("Lists the output devices and exits."));
    const QCommandLineOption latency(
        {QStringLiteral("l"), QStringLiteral("latency")},
        QStringLiteral("Keeps <ms> of audio buffered against network jitter, %1 to %2. By "
                       "default the buffer adapts to the network: it starts low, grows at once "
                       "when packets come late and comes down slowly when they do not.")
            .arg(kMinLatencyMs)
            .arg(kMaxLatencyMs),
        QStringLiteral("ms"));
    const QCommandLineOption wav({QStringLiteral("w"), QStringLiteral("wav")},
                                 QStringLiteral("Also writes what is played to the WAV file "
                                                "<file> (48000 Hz, mono, 16-bit)."),
                                 QStringLiteral("file"));
    const QCommandLineOption noPlayback(QStringLiteral("no-playback"),
                                        QStringLiteral("Plays nothing here; needs --wav or the web "
                                                       "page."));
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("Ends after <seconds>."),
                                      QStringLiteral("seconds"));
    const QCommandLineOption bind({QStringLiteral("b"), QStringLiteral("bind")},
                                  QStringLiteral("Receives on the local address <address> only "
                                                 "(default: all)."),
                                  QStringLiteral("address"));
    const QCommandLineOption noAnnounce(QStringLiteral("no-announce"),
                                        QStringLiteral("Does not announce the player on the "
                                                       "network; the sender's address must then "
                                                       "be typed."));
    const QCommandLineOption interface(
        {QStringLiteral("i"), QStringLiteral("interface")},
        QStringLiteral("Announces on the network interface <name> only (may be repeated; "
                       "default: every suitable one)."),
        QStringLiteral("name"));
    const QCommandLineOption webPort(
        QStringLiteral("web-port"),
        QStringLiteral("Serves the web page on TCP port <port> (default %1).").arg(kWebPort),
        QStringLiteral("port"));
    const QCommandLineOption noWeb(QStringLiteral("no-web"), QStringLiteral("Serves no web page."));
    const QCommandLineOption allowFeedback(
        QStringLiteral("allow-feedback"),
        QStringLiteral("Plays a stream that comes from this computer itself (a sender capturing "
                       "this computer's output would hear itself; silent without this)."));
    parser.addOptions({help, version, device, listDevices, latency, wav, noPlayback, duration, bind,
                       noAnnounce, interface, webPort, noWeb, allowFeedback});

    if (!parser.parse(arguments)) {
        return usageError(parser.errorText());
    }
    ParsedCommandLine result;
    if (parser.isSet(help)) {
        result.output = parser.helpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.output =
            QStringLiteral("plovarin-player %1\n").arg(QStringLiteral(PLOVARIN_VERSION));
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    }

    PlayerOptions &options = result.options;
    options.device = parser.value(device);
    options.listDevices = parser.isSet(listDevices);
    if (parser.isSet(latency)) {
        bool ok = false;
        options.latencyMs = parser.value(latency).toInt(&ok);
        if (!ok || options.latencyMs < kMinLatencyMs || options.latencyMs > kMaxLatencyMs) {
            return usageError(QStringLiteral("--latency takes a whole number of milliseconds "
                                             "from %1 to %2, not '%3'")
                                  .arg(kMinLatencyMs)
                                  .arg(kMaxLatencyMs)
                                  .arg(parser.value(latency)));
        }
    }
    options.wavPath = parser.value(wav);
    if (parser.isSet(wav) && options.wavPath.isEmpty()) {
        return usageError(QStringLiteral("--wav needs a file name"));
    }
    options.web = !parser.isSet(noWeb);
    if (parser.isSet(webPort)) {
        bool ok = false;
        const uint port = parser.value(webPort).toUInt(&ok);
        if (!options.web || !ok || port < 1 || port > 65535 || port == kStreamPort ||
            port == kPresencePort) {
            return usageError(
                !options.web ? QStringLiteral("--web-port and --no-web contradict each other")
                             : QStringLiteral("--web-port takes a TCP port from 1 to 65535 other "
                                              "than %1 and %2, which the player uses already, "
                                              "not '%3'")
                                   .arg(kStreamPort)
                                   .arg(kPresencePort)
                                   .arg(parser.value(webPort)));
        }
        options.webPort = quint16(port);
    }
    options.allowFeedback = parser.isSet(allowFeedback);
    options.playback = !parser.isSet(noPlayback);
    if (!options.playback && options.wavPath.isEmpty() && !options.web) {
        return usageError(QStringLiteral("--no-playback needs --wav <file> or the web page: "
                                         "otherwise nothing would be heard or kept"));
    }
    if (parser.isSet(duration)) {
        bool ok = false;
        options.durationSeconds = parser.value(duration).toDouble(&ok);
        // Beyond a year the timer's milliseconds would overflow; nobody means that.
        if (!ok || !(options.durationSeconds > 0) || options.durationSeconds > 366 * 86400.0) {
            return usageError(QStringLiteral("--duration takes a positive number of seconds, "
                                             "not '%1'")
                                  .arg(parser.value(duration)));
        }
    }
    if (parser.isSet(bind)) {
        const QString text = parser.value(bind);
        if (!options.bindAddress.setAddress(text)) {
            return usageError(QStringLiteral("--bind takes an IP address, not '%1'").arg(text));
        }
    }
    options.announce = !parser.isSet(noAnnounce);
    options.interfaces = parser.values(interface);
    if (!options.announce && !options.interfaces.isEmpty()) {
        return usageError(QStringLiteral("--interface and --no-announce contradict each other"));
    }
    result.run = true;
    return result;
}

} // namespace player
