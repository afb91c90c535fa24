#include "Signal.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <random>

namespace
{
constexpr quint16 kStreamPort = 10493;
const QHostAddress kLoopback(QStringLiteral("127.0.0.1"));

QStringList quiet(const QString &wav, int latencyMs)
{
    return {"--no-playback", "--no-announce",           "--wav", wav,
            "--latency",     QString::number(latencyMs)};
}
} // namespace

// The player program, run as a user runs it.
class TestPlayer : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void busyPort_data();
    void busyPort();
    void streamIsWrittenWhole();
    void lossIsConcealed();
    void closesConnectionsOnSignal_data();
    void closesConnectionsOnSignal();
    void playsIntoSoundServer();

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
    QVERIFY(udp ? udpSocket.bind(kLoopback, kStreamPort) : tcpServer.listen(kLoopback, 14213));
    PlayerProcess player({"--no-playback", "--no-announce", "--wav", dir.filePath("busy.wav"),
                          "--bind", "127.0.0.1"});
    QCOMPARE(player.finish(), 3);
    const QString expected = QString(udp ? "UDP port 10493" : "TCP port 14213") +
                             " of 127.0.0.1: the port is in use (is another player running?)";
    QVERIFY2(player.errors.contains(expected), qPrintable(player.errors));
}

void TestPlayer::streamIsWrittenWhole()
{
    // Received on the bound address, played whole, and the file complete when the duration ends
    // the player. A generous target absorbs the stalls of a busy machine.
    const QList<QByteArray> packets = Signal::opusTone(100);
    const QString wav = dir.filePath(QStringLiteral("whole.wav"));
    QElapsedTimer clock;
    clock.start();
    PlayerProcess player(quiet(wav, 400) << "--bind"
                                         << "127.0.0.1"
                                         << "--duration"
                                         << "3.5");
    QVERIFY(player.waitFor(QStringLiteral("receiving on")));
    QVERIFY(sendPaced(packets, kLoopback, kStreamPort));
    QCOMPARE(player.finish(), 0);
    qInfo("ended after %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() >= 3500 && clock.elapsed() < 6000);
    QCOMPARE(player.figure(QStringLiteral("played")), qint64(packets.size()));
    QCOMPARE(player.figure(QStringLiteral("packets dropped")), qint64(0));
    // Nothing made up but the 200 ms the decoder conceals before the player takes it as ended.
    QCOMPARE(player.figure(QStringLiteral("blocks concealed")), qint64(20));
    QString problem;
    const QVector<float> written = Signal::wavSamples(wav, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // What was sent, block by block, through a playback rate that may differ from 1 by 0.2 %.
    const QVector<float> sent = Signal::decodeAll(packets);
    QVERIFY2(qAbs(written.size() - sent.size() - 20 * 480) <= 300,
             qPrintable(QString::number(written.size())));
    const double error = Signal::worstBlockErrorDb(written, sent);
    QVERIFY2(error < -20, qPrintable(QString::number(error)));
}

void TestPlayer::lossIsConcealed()
{
    const int frames = 100;
    const QList<QByteArray> packets = Signal::opusTone(frames);
    const QString wav = dir.filePath(QStringLiteral("lossy.wav"));
    PlayerProcess player(quiet(wav, 60));
    QVERIFY(player.waitFor(QStringLiteral("receiving on")));
    std::mt19937 random(7);
    QVector<bool> lost(frames);
    int lostCount = 0;
    // The start and the last half second arrive whole: a loss is only seen once later packets
    // have come.
    for (int i = 10; i < frames - 25; ++i) {
        lost[i] = random() % 9 == 0;
        lostCount += lost[i];
    }
    qint64 lateMs = 0;
    QVERIFY(sendPaced(
        packets, kLoopback, kStreamPort, 20, [&](int i) { return bool(lost[i]); }, &lateMs));
    QVERIFY(player.waitFor(QStringLiteral("the stream has ended")));
    QCOMPARE(player.stop(SIGINT), 0);
    QString problem;
    const QVector<float> written = Signal::wavSamples(wav, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const qint64 concealed = player.figure(QStringLiteral("blocks concealed"));
    const qint64 dropped = player.figure(QStringLiteral("packets dropped"));
    qInfo("%d of %d lost, %lld blocks concealed, %lld dropped; the sender was up to %lld ms late",
          lostCount, frames, concealed, dropped, lateMs);
    QCOMPARE(player.figure(QStringLiteral("played")), qint64(frames - lostCount));
    QVERIFY(concealed >= 2 * lostCount + 12);
    // Each lost 20 ms has been made up (one may be left to the rate): the length is the stream's,
    // but for what was too old to start with, and the 200 ms after its end, to within two frames,
    // the sender's lateness and the playback rate's correction.
    const qint64 expected = (frames - player.figure("skipped")) * 960 + 20 * 480;
    QVERIFY2(
        qAbs(written.size() - expected) <= 2 * 960 + 300 + 48 * std::min<qint64>(lateMs, 30),
        qPrintable(QStringLiteral("%1 samples, %2 expected").arg(written.size()).arg(expected)));
    // Continuous: no 10 ms of the stream falls silent.
    for (int block = 0; block + 480 <= frames * 960 - 960; block += 480) {
        QVERIFY2(Signal::totalEnergy(written.mid(block, 480)) > 480 * 200.0 * 200.0,
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
    PlayerProcess player(quiet(dir.filePath(QStringLiteral("signal.wav")), 60));
    QVERIFY(player.waitFor(QStringLiteral("receiving on")));
    QWebSocket sender;
    QSignalSpy disconnected(&sender, &QWebSocket::disconnected);
    sender.open(QUrl(QStringLiteral("ws://127.0.0.1:14213")));
    QVERIFY(player.waitFor(QStringLiteral("sender 127.0.0.1 connected")));
    // While it streams, someone else's stream is not played.
    QVERIFY(sendPaced(Signal::opusTone(10), kLoopback, kStreamPort));
    QVERIFY(sendPaced(Signal::opusTone(10), QHostAddress("127.0.0.2"), kStreamPort));
    ::kill(pid_t(player.process.processId()), signal);
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 3000);
    QCOMPARE(sender.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
    QCOMPARE(player.finish(), 0);
    QCOMPARE(player.figure(QStringLiteral("from other sources")), qint64(10));
}

void TestPlayer::playsIntoSoundServer()
{
    PulseServer pulse;
    REQUIRE_PULSE(pulse, {{QStringLiteral("player_sink")}, {}, {}});
    QProcess recorder;
    recorder.start(QStringLiteral("parec"),
                   {QStringLiteral("--server=") + pulse.serverAddress(),
                    QStringLiteral("--device=player_sink.monitor"), QStringLiteral("--raw"),
                    QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                    QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
    const QString wav = dir.filePath(QStringLiteral("restart.wav"));
    // --allow-feedback: the stream comes from this machine, which would otherwise keep it silent.
    PlayerProcess player(
        {"--no-announce", "--device", "player_sink", "--wav", wav, "--allow-feedback"},
        pulse.environment());
    // A fresh sound server can take a couple of seconds to start a new stream.
    QVERIFY2(player.waitFor(QStringLiteral("the output device is playing")),
             qPrintable(player.output + player.process.readAllStandardError()));
    QVERIFY(sendPaced(Signal::opusTone(100), kLoopback, kStreamPort));
    QVERIFY(player.waitFor(QStringLiteral("the stream has ended")));
    const QByteArray raw = recorder.readAllStandardOutput();
    QVector<float> heard(raw.size() / 2);
    for (int i = 0; i < heard.size(); ++i) {
        heard[i] = qFromLittleEndian<qint16>(raw.constData() + 2 * i);
    }
    // The loudest second holds the tone, at its own level (9000 / sqrt(2) RMS).
    double loudest = 0;
    for (int first = 0; first + 48000 <= heard.size(); first += 4800) {
        loudest =
            std::max(loudest, std::sqrt(Signal::totalEnergy(heard.mid(first, 48000)) / 48000));
    }
    qInfo("recorded %d samples, loudest second's RMS %.0f", heard.size(), loudest);
    QVERIFY(loudest > 5700 && loudest < 7000);

    // The sound server goes away under the player and comes back; the stream meanwhile still
    // reaches the file.
    pulse.stop();
    QVERIFY(player.waitFor(QStringLiteral("playback stopped")));
    QVERIFY(sendPaced(Signal::opusTone(50), kLoopback, kStreamPort));
    QVERIFY(pulse.start({{QStringLiteral("player_sink")}, {}, {}}));
    QVERIFY2(player.waitFor(QStringLiteral("playing on player_sink again"), 15000),
             qPrintable(player.output));
    QCOMPARE(player.stop(SIGINT), 0);
    QString problem;
    QVERIFY(Signal::wavSamples(wav, &problem).size() >= 150 * 960);
}

QTEST_GUILESS_MAIN(TestPlayer)
#include "tst_player.moc"
