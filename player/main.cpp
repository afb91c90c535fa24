#include "Log.h"
#include "Player.h"
#include "PlayerOptions.h"

#include <QAudioDeviceInfo>
#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace
{
std::atomic<int> stopSignals{0};

extern "C" void onStopSignal(int)
{
    stopSignals.fetch_add(1);
}

int listDevices()
{
    const QAudioDeviceInfo preferred = QAudioDeviceInfo::defaultOutputDevice();
    QStringList names;
    const auto devices = QAudioDeviceInfo::availableDevices(QAudio::AudioOutput);
    for (const QAudioDeviceInfo &device : devices) {
        // Qt's PulseAudio backend reports one nameless device when it cannot reach a server.
        if (!device.deviceName().isEmpty()) {
            const bool isDefault =
                !preferred.isNull() && device.deviceName() == preferred.deviceName();
            names << device.deviceName() + (isDefault ? QStringLiteral("  (default)") : QString());
        }
    }
    if (names.isEmpty()) {
        std::fprintf(stderr, "plovarin-player: no audio output device\n");
        return player::kExitNoOutput;
    }
    for (const QString &name : qAsConst(names)) {
        std::printf("%s\n", name.toLocal8Bit().constData());
    }
    return player::kExitOk;
}

int run(player::Player &receiver, QCoreApplication &application)
{
    QObject::connect(&receiver, &player::Player::finished, &application, &QCoreApplication::exit);
    const int startCode = receiver.start();
    if (startCode != player::kExitOk) {
        return startCode;
    }
    QTimer signalPoll;
    QObject::connect(&signalPoll, &QTimer::timeout, &receiver, [&receiver] {
        const int count = stopSignals.load();
        if (count == 1) {
            receiver.stop(player::kExitOk);
        } else if (count > 1) {
            std::_Exit(player::kExitFailure);
        }
    });
    signalPoll.start(50);
    return application.exec();
}
} // namespace

int main(int argc, char *argv[])
{
    // Ctrl+C and termination end the player cleanly, also one that comes while it starts (it
    // may already be announcing itself); a second one ends it at once.
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    // The discovery library's trace lines would scatter the player's own messages and status.
    setLogLinesEnabled(false);
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("plovarin-player"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PLOVARIN_VERSION));

    const player::ParsedCommandLine commandLine =
        player::parseCommandLine(QCoreApplication::arguments());
    if (!commandLine.run) {
        std::fputs(commandLine.output.toLocal8Bit().constData(), stdout);
        if (!commandLine.error.isEmpty()) {
            std::fprintf(stderr, "%s\n", commandLine.error.toLocal8Bit().constData());
        }
        return commandLine.exitCode;
    }
    if (commandLine.options.listDevices) {
        return listDevices();
    }

    int code = player::kExitOk;
    {
        player::Player receiver(commandLine.options);
        code = run(receiver, application);
    }
    // Everything of the player's is closed now (the output, the WAV file). Qt's PulseAudio
    // plugin closes its own connection in an exit handler, which races the plugin's thread and
    // crashes once the sound server has restarted meanwhile: leave without exit handlers.
    std::fflush(nullptr);
#ifdef __SANITIZE_ADDRESS__
    __lsan_do_leak_check();
#endif
    std::_Exit(code);
}

