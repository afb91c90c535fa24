#include "TestSupport.h"

#include "ServicePublisher.h"
#include "StartUp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLibraryInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QtTest>
#include <QUdpSocket>

#include <algorithm>
#include <iostream>

quint16 isolateDiscovery()
{
    // A port of this process's own, and no multicast membership, so that no discovery traffic
    // reaches a real interface and parallel tests do not hear each other.
    const quint16 port = static_cast<quint16>(30000 + QCoreApplication::applicationPid() % 20000);
    ServicePublisher::Options options;
    options.port = port;
    options.joinMulticastGroup = false;
    ServicePublisher::setDefaultOptions(options);
    return port;
}

SettingsSandbox::SettingsSandbox()
{
    isolateDiscovery();
    StartUp::setApplicationIdentity();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
}

void SettingsSandbox::reset()
{
    QSettings settings;
    settings.clear();
    settings.sync();
}

PulseServer::~PulseServer()
{
    stop();
}

bool PulseServer::start(const Layout &layout)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    if (program.isEmpty()) {
        error = QStringLiteral("pulseaudio is not installed");
        return false;
    }
    // Started again after stop(), it listens on the same socket, as a restarted server does.
    if (!dir) {
        dir = std::make_unique<QTemporaryDir>();
    }
    socket = dir->filePath(QStringLiteral("native"));

    QStringList arguments{
        QStringLiteral("-n"),
        QStringLiteral("--daemonize=no"),
        QStringLiteral("--exit-idle-time=-1"),
        QStringLiteral("--use-pid-file=no"),
        QStringLiteral("--disable-shm=yes"),
        QStringLiteral("--log-target=stderr"),
        QStringLiteral("-L"),
        QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket)};
    for (const QString &sink : layout.nullSinks) {
        arguments << QStringLiteral("-L")
                  << QStringLiteral("module-null-sink sink_name=%1").arg(sink);
    }
    for (const QString &source : layout.nullSources) {
        arguments << QStringLiteral("-L")
                  << QStringLiteral("module-null-source source_name=%1").arg(source);
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), dir->path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir->path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir->path());
    server.setProcessEnvironment(environment);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(program, arguments);
    if (!server.waitForStarted(5000)) {
        error = QStringLiteral("pulseaudio did not start: %1").arg(server.errorString());
        return false;
    }

    QElapsedTimer elapsed;
    elapsed.start();
    while (!pactl({QStringLiteral("info")})) {
        if (elapsed.hasExpired(10000) || server.state() != QProcess::Running) {
            error = QStringLiteral("pulseaudio did not answer on %1").arg(socket);
            stop();
            return false;
        }
        QThread::msleep(50);
    }
    if (!layout.defaultSource.isEmpty() &&
        !pactl({QStringLiteral("set-default-source"), layout.defaultSource})) {
        error = QStringLiteral("cannot make %1 the default source").arg(layout.defaultSource);
        stop();
        return false;
    }
    qputenv("PULSE_SERVER", QStringLiteral("unix:%1").arg(socket).toLocal8Bit());
    return true;
}

void PulseServer::stop()
{
    if (server.state() != QProcess::NotRunning) {
        server.terminate();
        if (!server.waitForFinished(5000)) {
            server.kill();
            server.waitForFinished(2000);
        }
    }
}

bool PulseServer::pactl(const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("pactl"),
                  QStringList{QStringLiteral("--server=unix:%1").arg(socket)} + arguments);
    const bool ok = process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit &&
                    process.exitCode() == 0;
    if (output) {
        *output = QString::fromLocal8Bit(process.readAll()).trimmed();
    }
    return ok;
}

bool usePulseAudioBackendOnly(QString *errorString)
{
    static QTemporaryDir pluginRoot;
    const QString pluginName = QStringLiteral("libqtmedia_pulse.so");
    const QString source = QDir(QLibraryInfo::location(QLibraryInfo::PluginsPath))
                               .filePath(QStringLiteral("audio/") + pluginName);
    if (!QFile::exists(source)) {
        *errorString = QStringLiteral("Qt's PulseAudio plugin is missing: %1").arg(source);
        return false;
    }
    QDir(pluginRoot.path()).mkpath(QStringLiteral("audio"));
    const QString link = pluginRoot.filePath(QStringLiteral("audio/") + pluginName);
    if (!QFile::exists(link) && !QFile::link(source, link)) {
        *errorString = QStringLiteral("cannot link %1").arg(link);
        return false;
    }
    // Platform plugins are already loaded by now; only the audio backends are looked up here.
    QCoreApplication::setLibraryPaths({pluginRoot.path()});
    return true;
}

CapturedStdout::CapturedStdout()
    : previous(std::cout.rdbuf(buffer.rdbuf()))
{
}

CapturedStdout::~CapturedStdout()
{
    std::cout.rdbuf(previous);
    std::cout << buffer.str() << std::flush;
}

QStringList CapturedStdout::lines() const
{
    return QString::fromStdString(buffer.str()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool sendPaced(const QList<QByteArray> &datagrams, const QHostAddress &source, quint16 port,
               int frameMs, const std::function<bool(int)> &skip, qint64 *worstLateMs)
{
    QUdpSocket socket;
    if (!socket.bind(source, 0)) {
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    int next = 0;
    qint64 worst = 0;
    while (next < datagrams.size()) {
        while (next < datagrams.size() && clock.elapsed() >= qint64(next) * frameMs) {
            worst = std::max(worst, clock.elapsed() - qint64(next) * frameMs);
            if (!skip || !skip(next)) {
                socket.writeDatagram(datagrams.at(next), QHostAddress(QHostAddress::LocalHost),
                                     port);
            }
            ++next;
        }
        QTest::qWait(2);
    }
    if (worstLateMs) {
        *worstLateMs = worst;
    }
    return true;
}
