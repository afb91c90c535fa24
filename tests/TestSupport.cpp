#include "TestSupport.h"

#include "JitterBuffer.h"
#include "OpusPacket.h"
#include "ServicePublisher.h"
#include "Signal.h"
#include "StartUp.h"

#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QtTest>

#include <csignal>
#include <deque>
#include <iostream>

SettingsSandbox::SettingsSandbox()
{
    // A port of this process's own, and no multicast membership, so that no discovery traffic
    // reaches a real interface and parallel tests do not hear each other.
    ServicePublisher::Options options;
    options.port = quint16(30000 + QCoreApplication::applicationPid() % 20000);
    options.joinMulticastGroup = false;
    ServicePublisher::setDefaultOptions(options);
    StartUp::setApplicationIdentity();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
}

bool PulseServer::start(const Layout &layout)
{
    // Qt's audio backends limited to PulseAudio, so the machine's own ALSA devices never show.
    static QTemporaryDir plugins;
    const QString plugin = "audio/libqtmedia_pulse.so";
    QDir(plugins.path()).mkpath("audio");
    QFile::link(QDir(QLibraryInfo::location(QLibraryInfo::PluginsPath)).filePath(plugin),
                plugins.filePath(plugin));
    QCoreApplication::setLibraryPaths({plugins.path()});
    socket = dir.filePath("native");
    QStringList arguments = QString("-n --daemonize=no --exit-idle-time=-1 --use-pid-file=no "
                                    "--disable-shm=yes --log-target=stderr --log-level=error")
                                .split(' ');
    arguments << "-L"
              << "module-native-protocol-unix auth-anonymous=1 socket=" + socket;
    for (const QString &sink : layout.nullSinks) {
        arguments.append({"-L", "module-null-sink sink_name=" + sink});
    }
    for (const QString &source : layout.nullSources) {
        arguments.append({"-L", "module-null-source source_name=" + source});
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"}) {
        environment.insert(QString::fromLatin1(name), dir.path());
    }
    server.setProcessEnvironment(environment);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start("pulseaudio", arguments);
    for (int tries = 0; !pactl({"info"}); ++tries) {
        if (tries == 200 || server.state() == QProcess::NotRunning) {
            error = "pulseaudio did not start or answer on " + socket;
            stop();
            return false;
        }
        QThread::msleep(50);
    }
    if (!layout.defaultSource.isEmpty() && !pactl({"set-default-source", layout.defaultSource})) {
        error = "cannot make the default source " + layout.defaultSource;
        return false;
    }
    qputenv("PULSE_SERVER", serverAddress().toLocal8Bit());
    return true;
}

void PulseServer::stop()
{
    server.terminate();
    if (server.state() != QProcess::NotRunning && !server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished(2000);
    }
}

bool PulseServer::pactl(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("pactl", QStringList{"--server=" + serverAddress()} + arguments);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
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
    qint64 worst = 0;
    for (int next = 0; next < datagrams.size(); QTest::qWait(2)) {
        for (; next < datagrams.size() && clock.elapsed() >= qint64(next) * frameMs; ++next) {
            worst = std::max(worst, clock.elapsed() - qint64(next) * frameMs);
            if (!skip || !skip(next)) {
                socket.writeDatagram(datagrams.at(next), QHostAddress::LocalHost, port);
            }
        }
    }
    if (worstLateMs) {
        *worstLateMs = worst;
    }
    return true;
}

void simulateStream(player::JitterBuffer &buffer, qint64 durationMs, double senderPpm,
                    const QList<QPair<qint64, int>> &spikes,
                    const std::function<void(qint64)> &tick)
{
    // Two seconds encoded once and sent round: the level is under test, not the sound.
    const QList<QByteArray> pool = Signal::opusTone(3 * 40, {960, 960, 480});
    const double burstMs = 50.0 * (1 - senderPpm * 1e-6);
    std::deque<std::pair<double, int>> inFlight; // arrival time, packet
    int sent = 0;
    qint16 block[480];
    for (qint64 ms = 0; ms < durationMs; ms += 10) {
        for (; sent / 3 * burstMs <= ms; sent += 3) {
            double arrival = sent / 3 * burstMs;
            for (const auto &spike : spikes) {
                const bool held = arrival >= spike.first && arrival < spike.first + spike.second;
                arrival = held ? spike.first + spike.second : arrival;
            }
            for (int i = 0; i < 3; ++i) {
                inFlight.emplace_back(arrival, sent + i);
            }
        }
        std::stable_sort(inFlight.begin(), inFlight.end());
        for (; !inFlight.empty() && inFlight.front().first <= ms; inFlight.pop_front()) {
            const QByteArray &packet = pool.at(inFlight.front().second % pool.size());
            buffer.push(packet, player::playableSamples(packet), ms);
        }
        buffer.pull(block, 480);
        tick(ms);
    }
}

std::unique_ptr<QTcpSocket> connectFrom(const QString &from, quint16 port,
                                        const QByteArray &request)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->bind(QHostAddress(from));
    socket->connectToHost(QHostAddress::LocalHost, port);
    socket->write(request);
    return socket;
}

QByteArray upgradeRequest(const QByteArray &path, const QByteArray &more)
{
    return "GET " + path + " HTTP/1.1\r\n" + more +
           "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
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
    return QString::fromStdString(buffer.str()).split('\n', Qt::SkipEmptyParts);
}

Receiver::Receiver(const QString &address)
{
    if (!udp.bind(QHostAddress(address), 10493) || !server.listen(QHostAddress(address), 14213)) {
        qWarning("the receiver's ports on %s are taken", qPrintable(address));
    }
    QObject::connect(&udp, &QUdpSocket::readyRead, &udp, [this] {
        while (udp.hasPendingDatagrams()) {
            datagrams.append(udp.receiveDatagram().data());
        }
    });
    QObject::connect(&server, &QWebSocketServer::newConnection, &server, [this] {
        while (server.hasPendingConnections()) {
            peers.emplace_back(server.nextPendingConnection());
        }
    });
}

void Receiver::closeAll()
{
    for (auto &peer : peers) {
        peer->close();
    }
}

PlayerProcess::PlayerProcess(const QStringList &arguments, const QStringList &prefix)
{
    const QStringList command = prefix + QStringList{PLAYER_EXECUTABLE} + arguments;
    process.start(command.first(), command.mid(1));
}

PlayerProcess::~PlayerProcess()
{
    // What it said is the first thing to read when a test fails.
    if (QTest::currentTestFailed()) {
        finish(0);
        qInfo("the player's output:\n%s%s", qPrintable(output), qPrintable(errors));
    }
    process.kill();
    process.waitForFinished(2000);
}

bool PlayerProcess::waitFor(const QString &text, int timeoutMs)
{
    return QTest::qWaitFor(
               [&] {
                   output += QString::fromLocal8Bit(process.readAllStandardOutput());
                   return output.contains(text) || process.state() == QProcess::NotRunning;
               },
               timeoutMs) &&
           output.contains(text);
}

int PlayerProcess::stop(int signal)
{
    ::kill(pid_t(process.processId()), signal);
    return finish();
}

int PlayerProcess::finish(int timeoutMs)
{
    process.waitForFinished(timeoutMs);
    output += QString::fromLocal8Bit(process.readAllStandardOutput());
    errors += QString::fromLocal8Bit(process.readAllStandardError());
    const bool ended =
        process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit;
    return ended ? process.exitCode() : -1;
}

qint64 PlayerProcess::figure(const QString &label) const
{
    const auto match =
        QRegularExpression("plovarin-player: .*datagrams.*\\b(\\d+) " + label).match(output);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

void addDeadEndRoute()
{
    QProcess::execute("sh", {"-c", "ip link show plovarin0 >/dev/null 2>&1 || (ip link add "
                                   "plovarin0 type veth peer name plovarin1 && ip address add "
                                   "10.214.0.1/24 dev plovarin0 && ip link set plovarin0 up && "
                                   "ip link set plovarin1 up && ip route add default dev "
                                   "plovarin0)"});
}

Chromium::~Chromium()
{
    for (QProcess *process : {&browser, &display}) {
        process->kill();
        process->waitForFinished();
    }
}

void Chromium::launch(const QString &url, const QString &sink)
{
    // Xvfb takes a free display and writes its number once it accepts clients.
    display.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp"});
    static_cast<void>(QTest::qWaitFor([&] { return display.canReadLine(); }));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", ":" + display.readLine().trimmed());
    environment.insert("PULSE_SINK", sink);
    // Its singleton's socket folder goes with the profile, not into /tmp for good when killed.
    environment.insert("TMPDIR", profile.path());
    browser.setProcessEnvironment(environment);
    browser.setStandardOutputFile(QProcess::nullDevice());
    browser.setStandardErrorFile(QProcess::nullDevice());
    // As root: no sandbox. A dead proxy and no name lookups keep it off the network.
    browser.start("chromium", QString("--no-sandbox --disable-gpu --no-first-run "
                                      "--disable-background-networking --disable-component-update "
                                      "--disable-sync --proxy-server=127.0.0.1:9 "
                                      "--remote-debugging-port=0")
                                      .split(' ')
                                  << "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"
                                  << "--user-data-dir=" + profile.path() << "--app=" + url);
}

bool Chromium::attach()
{
    // The DevTools port it took, once it listens, then the page's own endpoint.
    QFile port(profile.filePath("DevToolsActivePort"));
    if (!QTest::qWaitFor([&] { return port.size() > 0; }, 20000) ||
        !port.open(QIODevice::ReadOnly)) {
        return false;
    }
    QNetworkAccessManager network;
    const std::unique_ptr<QNetworkReply> pages(network.get(
        QNetworkRequest(QUrl("http://127.0.0.1:" + port.readLine().trimmed() + "/json/list"))));
    static_cast<void>(QTest::qWaitFor([&] { return pages->isFinished(); }));
    for (const QJsonValue target : QJsonDocument::fromJson(pages->readAll()).array()) {
        if (target["type"] == "page") {
            devTools.open(QUrl(target["webSocketDebuggerUrl"].toString()));
        }
    }
    QObject::connect(&devTools, &QWebSocket::textMessageReceived, [this](const QString &text) {
        reply = QJsonDocument::fromJson(text.toUtf8()).object();
    });
    return QTest::qWaitFor([&] { return devTools.state() == QAbstractSocket::ConnectedState; });
}

QJsonValue Chromium::evaluate(const QString &expression)
{
    reply = {};
    const QJsonObject parameters{
        {"expression", expression}, {"userGesture", true}, {"returnByValue", true}};
    const QJsonObject call{{"id", 1}, {"method", "Runtime.evaluate"}, {"params", parameters}};
    devTools.sendTextMessage(QJsonDocument(call).toJson());
    static_cast<void>(QTest::qWaitFor([&] { return reply.contains("id"); }));
    return reply.value("result")["result"]["value"];
}
