#include "Signal.h"
#include "TestSupport.h"

#include <QTcpServer>
#include <QtEndian>
#include <QtTest>
#include <QUdpSocket>
#include <QWebSocket>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <random>

namespace
{
const QHostAddress kLoopback(QStringLiteral("127.0.0.1"));
constexpr quint16 kStreamPort = 10493;

// A number from the player's closing summary, such as "blocks concealed".
qint64 summaryFigure(const QString &output, const QString &label)
{
    const QRegularExpression pattern(
        QStringLiteral("(\\d+) %1").arg(QRegularExpression::escape(label)));
    const auto lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("plovarin-player: ")) &&
            line.contains(QLatin1String("datagrams"))) {
            const auto match = pattern.match(line);
            return match.hasMatch() ? match.captured(1).toLongLong() : -1;
        }
    }
    return -1;
}

// The player program as a test runs it.
class PlayerProcess
{
public:
    explicit PlayerProcess(QStringList arguments, const QProcessEnvironment &environment = {})
    {
        process.setProgram(QStringLiteral(PLAYER_EXECUTABLE));
        process.setArguments(arguments);
        if (!environment.isEmpty()) {
            process.setProcessEnvironment(environment);
        }
        process.start();
    }
    ~PlayerProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
        }
    }
    // Waits until it receives.
    bool waitReady()
    {
        return QTest::qWaitFor(
                   [this] {
                       output += QString::fromLocal8Bit(process.readAllStandardOutput());
                       return output.contains(QLatin1String("receiving on")) ||
                              process.state() == QProcess::NotRunning;
                   },
                   10000) &&
               process.state() == QProcess::Running;
    }
    bool waitFor(const QString &text, int timeoutMs = 10000)
    {
        return QTest::qWaitFor(
            [&] {
                output += QString::fromLocal8Bit(process.readAllStandardOutput());
                return output.contains(text);
            },
            timeoutMs);
    }
    // Sends the signal and waits for the end; the exit code, or -1 when it crashed or hung.
    int stop(int signal = SIGINT)
    {
        ::kill(pid_t(process.processId()), signal);
        return finish();
    }
    int finish(int timeoutMs = 10000)
    {
        if (process.state() != QProcess::NotRunning) {
            process.waitForFinished(timeoutMs);
        }
        output += QString::fromLocal8Bit(process.readAllStandardOutput());
        errors += QString::fromLocal8Bit(process.readAllStandardError());
        if (process.state() != QProcess::NotRunning ||
            process.exitStatus() != QProcess::NormalExit) {
            return -1;
        }
        return process.exitCode();
    }
    QProcess process;
    QString output;
    QString errors;
};

QStringList quietArguments(const QString &wav, int latencyMs)
{
    return {QStringLiteral("--no-playback"), QStringLiteral("--no-announce"),
            QStringLiteral("--wav"),         wav,
            QStringLiteral("--latency"),     QString::number(latencyMs)};
}

} // namespace

class TestPlayer : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void busyPort_data();
    void busyPort();
    void durationAndBindAddress();
    void losslessStreamIsExact();
    void lossIsConcealed();
    void closesConnectionsOnSignal_data();
    void closesConnectionsOnSignal();
    void holderAloneIsPlayed();
    void firstSourceUntilSilent();
    void playsIntoSoundServer();
    void survivesSoundServerRestart();

private:
    QTemporaryDir dir;
};

void TestPlayer::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // in standard output or standard error
    QTest::addRow("help") << QStringList{"--help"} << 0 << "--latency <ms>";
    QTest::addRow("version") << QStringList{"--version"} << 0 << "plovarin-player 0.1.0";
    QTest::addRow("unknown option") << QStringList{"--loud"} << 2 << "Unknown option 'loud'";
    QTest::addRow("latency too low") << QStringList{"--latency", "5"} << 2 << "from 10 to 2000";
    QTest::addRow("latency not a number") << QStringList{"--latency", "soon"} << 2 << "not 'soon'";
    QTest::addRow("duration negative") << QStringList{"--duration", "-1"} << 2 << "positive";
    QTest::addRow("bind not an address") << QStringList{"--bind", "300.1.1.1"} << 2 << "IP address";
    QTest::addRow("no playback, no file") << QStringList{"--no-playback"} << 2 << "needs --wav";
    QTest::addRow("stray argument") << QStringList{"now"} << 2 << "unexpected argument 'now'";
    QTest::addRow("interface and no-announce")
        << QStringList{"--no-announce", "-i", "eth0"} << 2 << "contradict";
    QTest::addRow("no such interface")
        << QStringList{"--no-playback", "--wav", dir.filePath("x.wav"), "-i", "nosuchif0"} << 2
        << "cannot announce on 'nosuchif0'";
    QTest::addRow("no such device") << QStringList{"--no-announce", "--device", "No Such Speaker"}
                                    << 4 << "no output device named 'No Such Speaker'";
    QTest::addRow("file cannot be written")
        << QStringList{"--no-playback", "--no-announce", "--wav", dir.filePath("none/x.wav")} << 5
        << "/none/x.wav': No such file or directory";
    QTest::addRow("address of another computer")
        << QStringList{"--no-playback", "--no-announce", "-w", dir.filePath("x.wav"), "-b",
                       "192.0.2.1"}
        << 3 << "192.0.2.1: this computer has no address 192.0.2.1\n";
}

void TestPlayer::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    PlayerProcess player(arguments);
    QCOMPARE(player.finish(), exitCode);
    QVERIFY2((player.output + player.errors).contains(expected),
             qPrintable(player.output + player.errors));
    // Errors go to standard error, wanted output to standard output.
    QCOMPARE(player.errors.isEmpty(), exitCode == 0);
}

void TestPlayer::busyPort_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addRow("stream port") << true;
    QTest::addRow("presence port") << false;
}

void TestPlayer::busyPort()
{
    QFETCH(bool, udp);
    QUdpSocket udpSocket;
    QTcpServer tcpServer;
    QVERIFY(udp ? udpSocket.bind(kLoopback, kStreamPort, QUdpSocket::DontShareAddress)
                : tcpServer.listen(kLoopback, 14213));
    PlayerProcess player({"--no-playback", "--no-announce", "--wav", dir.filePath("busy.wav"),
                          "--bind", "127.0.0.1"});
    QCOMPARE(player.finish(), 3);
    const QString expected = QString(udp ? "UDP port 10493" : "TCP port 14213") +
                             " of 127.0.0.1: the port is in use (is another player running?)";
    QVERIFY2(player.errors.contains(expected), qPrintable(player.errors));
}

void TestPlayer::durationAndBindAddress()
{
    const QString wav = dir.filePath("duration.wav");
    QElapsedTimer clock;
    clock.start();
    PlayerProcess player({"--no-playback", "--no-announce", "--wav", wav, "--bind", "127.0.0.1",
                          "--duration", "2.5"});
    QVERIFY(player.waitReady());
    QVERIFY(sendPaced(Signal::opusTone(25), kLoopback, kStreamPort));
    QCOMPARE(player.finish(), 0);
    qInfo("ended after %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() >= 2500 && clock.elapsed() < 6000);
    QCOMPARE(summaryFigure(player.output, "played"), qint64(25));
    QString problem;
    QCOMPARE(Signal::wavSamples(wav, &problem).size(), 25 * 960 + 20 * 480);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestPlayer::losslessStreamIsExact()
{
    const QList<QByteArray> packets = Signal::opusTone(150);
    Signal::OpusStream reference;
    for (const QByteArray &packet : packets) {
        reference.decode(packet);
    }
    const QString wav = dir.filePath("lossless.wav");
    // A generous target (its tolerance is 100 ms), so that a busy machine's stalls are absorbed
    // rather than concealed.
    PlayerProcess player(quietArguments(wav, 400));
    QVERIFY(player.waitReady());
    qint64 lateMs = 0;
    QVERIFY(sendPaced(packets, kLoopback, kStreamPort, 20, {}, &lateMs));
    qInfo("the sender was up to %lld ms late", lateMs);
    QVERIFY(player.waitFor("the stream has ended"));
    QCOMPARE(player.stop(), 0);

    QString problem;
    const QVector<float> written = Signal::wavSamples(wav, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(summaryFigure(player.output, "played"), qint64(packets.size()));
    QCOMPARE(summaryFigure(player.output, "packets dropped"), qint64(0));
    // The stream, then the 200 ms the decoder makes up before the player takes it as ended.
    QCOMPARE(summaryFigure(player.output, "blocks concealed"), qint64(20));
    QCOMPARE(written.size(), reference.samples().size() + 20 * 480);
    QCOMPARE(written.mid(0, reference.samples().size()), reference.samples());
}

void TestPlayer::lossIsConcealed()
{
    const int frames = 250;
    const QList<QByteArray> packets = Signal::opusTone(frames);
    const QString wav = dir.filePath("lossy.wav");
    PlayerProcess player(quietArguments(wav, 60));
    QVERIFY(player.waitReady());
    std::mt19937 random(7);
    QVector<bool> lost(frames);
    int lostCount = 0;
    // The last half second arrives whole: losses are only seen by the level they leave, and
    // the player needs a moment to see it.
    for (int i = 1; i < frames - 25; ++i) {
        lost[i] = random() % 9 == 0;
        lostCount += lost[i];
    }
    qint64 lateMs = 0;
    QVERIFY(sendPaced(
        packets, kLoopback, kStreamPort, 20, [&](int i) { return bool(lost[i]); }, &lateMs));
    QVERIFY(player.waitFor("the stream has ended"));
    QCOMPARE(player.stop(), 0);

    QString problem;
    const QVector<float> written = Signal::wavSamples(wav, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const qint64 concealed = summaryFigure(player.output, "blocks concealed");
    const qint64 dropped = summaryFigure(player.output, "packets dropped");
    qInfo("%d of %d packets lost, %lld blocks of 10 ms concealed (20 of them after the end), "
          "%lld packets dropped; the sender was up to %lld ms late",
          lostCount, frames, concealed, dropped, lateMs);
    QCOMPARE(summaryFigure(player.output, "played"), qint64(frames - lostCount));
    // Every sample written is accounted for: played packets, less those dropped, and the
    // concealed blocks.
    QCOMPARE(qint64(written.size()), (frames - lostCount - dropped) * 960 + concealed * 480);
    // The right length to within a frame: the stream plus the 200 ms after its end, so each
    // lost 20 ms has been made up. A sender stalled by a busy machine raises the level by as
    // much as it was late, which the player keeps up to twice its 15 ms tolerance.
    const int expected = frames * 960 + 20 * 480;
    const int slack = 960 + 48 * int(std::min<qint64>(lateMs, 30));
    QVERIFY2(
        qAbs(written.size() - expected) <= slack,
        qPrintable(QStringLiteral("%1 samples, %2 expected").arg(written.size()).arg(expected)));
    // Continuous: no 10 ms of the stream falls silent (the concealment of two packets lost in a
    // row fades to about -18 dB, not further).
    for (int block = 0; block + 480 <= frames * 960 - 960; block += 480) {
        double energy = 0;
        for (int i = block; i < block + 480; ++i) {
            energy += double(written[i]) * written[i];
        }
        QVERIFY2(std::sqrt(energy / 480) > 200,
                 qPrintable(QStringLiteral("silent at %1").arg(block)));
    }
}

void TestPlayer::closesConnectionsOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addRow("SIGINT") << int(SIGINT);
    QTest::addRow("SIGTERM") << int(SIGTERM);
}

void TestPlayer::closesConnectionsOnSignal()
{
    QFETCH(int, signal);
    PlayerProcess player(quietArguments(dir.filePath("signal.wav"), 60));
    QVERIFY(player.waitReady());
    QWebSocket sender;
    QSignalSpy disconnected(&sender, &QWebSocket::disconnected);
    sender.open(QUrl(QStringLiteral("ws://127.0.0.1:14213")));
    QTRY_COMPARE_WITH_TIMEOUT(sender.state(), QAbstractSocket::ConnectedState, 5000);
    QVERIFY(player.waitFor("sender 127.0.0.1 connected"));
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(player.process.processId()), signal);
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 3000);
    qInfo("closed %lld ms after the signal", clock.elapsed());
    QCOMPARE(sender.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
    QCOMPARE(player.finish(), 0);
}

void TestPlayer::holderAloneIsPlayed()
{
    PlayerProcess player(quietArguments(dir.filePath("holder.wav"), 60));
    QVERIFY(player.waitReady());
    QWebSocket sender;
    sender.open(QUrl(QStringLiteral("ws://127.0.0.1:14213")));
    QTRY_COMPARE_WITH_TIMEOUT(sender.state(), QAbstractSocket::ConnectedState, 5000);
    QVERIFY(player.waitFor("sender 127.0.0.1 connected"));
    // Someone else streams first and alongside: never played while the holder is connected.
    const QList<QByteArray> packets = Signal::opusTone(50);
    QVERIFY(sendPaced(packets.mid(0, 10), QHostAddress(QStringLiteral("127.0.0.2")), kStreamPort));
    QVERIFY(sendPaced(packets, kLoopback, kStreamPort));
    QVERIFY(player.waitFor("playing 127.0.0.1"));
    QCOMPARE(player.stop(), 0);
    QVERIFY(!player.output.contains(QLatin1String("playing 127.0.0.2")));
    QCOMPARE(summaryFigure(player.output, "from other sources"), qint64(10));
    QCOMPARE(summaryFigure(player.output, "played"), qint64(50));
}

void TestPlayer::firstSourceUntilSilent()
{
    PlayerProcess player(quietArguments(dir.filePath("first.wav"), 60));
    QVERIFY(player.waitReady());
    const QList<QByteArray> packets = Signal::opusTone(40);
    const QHostAddress first(QStringLiteral("127.0.0.2"));
    const QHostAddress second(QStringLiteral("127.0.0.3"));
    QUdpSocket intruder;
    QVERIFY(intruder.bind(second, 0));
    // While the first streams, the second is dropped.
    QUdpSocket stream;
    QVERIFY(stream.bind(first, 0));
    for (int i = 0; i < packets.size(); ++i) {
        stream.writeDatagram(packets.at(i), kLoopback, kStreamPort);
        if (i % 4 == 2) {
            intruder.writeDatagram(packets.at(i), kLoopback, kStreamPort);
        }
        QTest::qWait(20);
    }
    QVERIFY(player.waitFor("playing 127.0.0.2"));
    // Two seconds of silence release it; then the second is played, and the first comes back
    // the same way (a sender that restarts).
    QTest::qWait(2100);
    QVERIFY(sendPaced(packets, second, kStreamPort));
    QVERIFY(player.waitFor("playing 127.0.0.3"));
    QTest::qWait(2100);
    QVERIFY(sendPaced(packets, first, kStreamPort));
    QVERIFY(QTest::qWaitFor(
        [&] {
            player.waitFor(QString(), 0);
            return player.output.count(QLatin1String("playing 127.0.0.2")) == 2;
        },
        5000));
    QCOMPARE(player.stop(), 0);
    QCOMPARE(summaryFigure(player.output, "from other sources"), qint64(10));
    QCOMPARE(summaryFigure(player.output, "played"), qint64(3 * packets.size()));
}

void TestPlayer::playsIntoSoundServer()
{
    PulseServer pulse;
    if (!pulse.start({{QStringLiteral("player_sink")}, {}, {}})) {
        QSKIP(qPrintable(QStringLiteral("SKIPPED, no PulseAudio server: ") + pulse.errorString()));
    }
    QProcess recorder;
    recorder.start(QStringLiteral("parec"),
                   {QStringLiteral("--server=") + pulse.serverAddress(),
                    QStringLiteral("--device=player_sink.monitor"), QStringLiteral("--raw"),
                    QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                    QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
    QVERIFY(recorder.waitForStarted(5000));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), pulse.serverAddress());
    PlayerProcess player({"--no-announce", "--device", "player_sink"}, environment);
    QVERIFY2(player.waitReady(), qPrintable(player.output + player.process.readAllStandardError()));
    // A fresh sound server can take a couple of seconds to start a new stream.
    QVERIFY(player.waitFor("the output device is playing"));
    QVERIFY(sendPaced(Signal::opusTone(100), kLoopback, kStreamPort));
    QVERIFY2(player.waitFor("the stream has ended"),
             qPrintable(player.output + player.process.readAllStandardError()));
    QCOMPARE(player.stop(), 0);
    recorder.kill();
    recorder.waitForFinished(2000);
    const QByteArray raw = recorder.readAllStandardOutput();
    QVector<float> heard(raw.size() / 2);
    for (int i = 0; i < heard.size(); ++i) {
        heard[i] = qFromLittleEndian<qint16>(raw.constData() + 2 * i);
    }
    // The loudest second of the recording holds the tone (440 Hz with a 3 Hz vibrato).
    double best = 0;
    for (int start = 0; start + 48000 <= heard.size(); start += 4800) {
        best = std::max(best, Signal::totalEnergy(heard.mid(start, 48000)));
    }
    qInfo("recorded %d samples, loudest second's RMS %.0f; %s", heard.size(),
          std::sqrt(best / 48000), qPrintable(player.output.section(QLatin1Char('\n'), -2)));
    // The tone's own RMS is 9000 / sqrt(2), about 6364.
    QVERIFY(std::sqrt(best / 48000) > 5700 && std::sqrt(best / 48000) < 7000);
}

void TestPlayer::survivesSoundServerRestart()
{
    PulseServer pulse;
    const PulseServer::Layout layout{{QStringLiteral("player_sink")}, {}, {}};
    if (!pulse.start(layout)) {
        QSKIP(qPrintable(QStringLiteral("SKIPPED, no PulseAudio server: ") + pulse.errorString()));
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), pulse.serverAddress());
    const QString wav = dir.filePath("restart.wav");
    PlayerProcess player({"--no-announce", "--device", "player_sink", "--wav", wav}, environment);
    QVERIFY(player.waitReady());
    QVERIFY(player.waitFor("the output device is playing"));
    pulse.stop();
    QVERIFY(player.waitFor("playback stopped"));
    // While the device is gone the stream still reaches the WAV file.
    QVERIFY(sendPaced(Signal::opusTone(50), kLoopback, kStreamPort));
    QVERIFY(pulse.start(layout));
    QVERIFY2(player.waitFor("playing on player_sink again", 15000), qPrintable(player.output));
    const int code = player.stop();
    QVERIFY2(code == 0, qPrintable(QStringLiteral("exit %1: %2").arg(code).arg(player.errors)));
    QString problem;
    const QVector<float> written = Signal::wavSamples(wav, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY2(written.size() >= 50 * 960, qPrintable(QString::number(written.size())));
}

QTEST_GUILESS_MAIN(TestPlayer)
#include "tst_player.moc"
