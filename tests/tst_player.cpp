#include "Signal.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <random>

namespace
{
constexpr quint16 kStreamPort = 10493;
const QHostAddress kLoopback("127.0.0.1");
} // namespace

// The player program, run as a user runs it.
class TestPlayer : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void streamIsWrittenWhole();
    void lossIsConcealed();
    void closesConnectionsOnSignal_data();
    void closesConnectionsOnSignal();
    void playsIntoSoundServer();

private:
    QStringList quiet(const QString &file, const QString &more = "--latency 60")
    {
        return QStringList{"--no-playback", "--no-announce", "--wav", dir.filePath(file)} +
               more.split(' ');
    }
    QTemporaryDir dir;
};

void TestPlayer::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("taken"); // a port someone else holds: "udp", "tcp" or none
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // in standard output or standard error
    const auto row = [](const char *name, const QStringList &arguments, const QString &taken,
                        int exitCode, const QString &expected) {
        QTest::addRow("%s", name) << arguments << taken << exitCode << expected;
    };
    row("help", {"--help"}, "", 0, "--latency <ms>");
    row("version", {"--version"}, "", 0, "plovarin-player 0.1.0");
    row("latency too low", {"--latency", "5"}, "", 2, "from 10 to 2000");
    row("duration negative", {"--duration", "-1"}, "", 2, "positive");
    row("bind not an address", {"--bind", "300.1.1.1"}, "", 2, "IP address");
    row("web port of the stream", {"--web-port", "10493"}, "", 2, "--web-port");
    row("interface and no-announce", {"--no-announce", "-i", "eth0"}, "", 2, "contradict");
    row("no such interface", {"--no-playback", "-w", "/dev/null", "-i", "nosuchif0"}, "", 2,
        "cannot announce on 'nosuchif0'");
    row("no such device", {"--no-announce", "--device", "No Such Speaker"}, "", 4,
        "no output device named 'No Such Speaker'");
    row("file cannot be written", quiet("none/x.wav"), "", 5,
        "/none/x.wav': No such file or directory");
    row("address of another computer", quiet("x.wav", "-b 192.0.2.1"), "", 3,
        "192.0.2.1: this computer has no address 192.0.2.1\n");
    row("stream port taken", quiet("x.wav", "-b 127.0.0.1"), "udp", 3,
        "UDP port 10493 of 127.0.0.1: the port is in use (is another player running?)");
    row("presence port taken", quiet("x.wav", "-b 127.0.0.1"), "tcp", 3,
        "TCP port 14213 of 127.0.0.1: the port is in use (is another player running?)");
}

void TestPlayer::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, taken);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    QUdpSocket udp;
    QTcpServer tcp;
    QVERIFY(taken != "udp" || udp.bind(kLoopback, kStreamPort));
    QVERIFY(taken != "tcp" || tcp.listen(kLoopback, 14213));
    PlayerProcess player(arguments);
    QCOMPARE(player.finish(), exitCode);
    QVERIFY2((player.output + player.errors).contains(expected),
             qPrintable(player.output + player.errors));
    // Errors go to standard error, wanted output to standard output.
    QCOMPARE(player.errors.isEmpty(), exitCode == 0);
}

void TestPlayer::streamIsWrittenWhole()
{
    // Received on the bound address, played whole, and the file complete when the duration ends
    // the player. A generous target absorbs the stalls of a busy machine.
    const QList<QByteArray> packets = Signal::opusTone(100);
    QElapsedTimer clock;
    clock.start();
    PlayerProcess player(quiet("whole.wav", "--latency 400 --bind 127.0.0.1 --duration 3.5"));
    QVERIFY(player.waitFor("receiving on"));
    QVERIFY(sendPaced(packets, kLoopback, kStreamPort));
    QCOMPARE(player.finish(), 0);
    qInfo("ended after %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() >= 3500 && clock.elapsed() < 6000);
    QCOMPARE(player.figure("played"), qint64(packets.size()));
    QCOMPARE(player.figure("packets dropped"), qint64(0));
    // Nothing made up but the 200 ms the decoder conceals before the player takes it as ended.
    QCOMPARE(player.figure("blocks concealed"), qint64(20));
    QString problem;
    const QVector<float> written = Signal::wavSamples(dir.filePath("whole.wav"), &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // What was sent, block by block, through a playback rate that may differ from 1 by 0.2 %.
    const QVector<float> sent = Signal::decodeAll(packets);
    QVERIFY(qAbs(written.size() - sent.size() - 20 * 480) <= 300);
    const double error = Signal::worstBlockErrorDb(written, sent);
    QVERIFY2(error < -20, qPrintable(QString::number(error)));
}

void TestPlayer::lossIsConcealed()
{
    const int frames = 100;
    PlayerProcess player(quiet("lossy.wav"));
    QVERIFY(player.waitFor("receiving on"));
    std::mt19937 random(7);
    QVector<bool> lost(frames);
    // The start and the last half second arrive whole: a loss is only seen once later packets
    // have come.
    for (int i = 10; i < frames - 25; ++i) {
        lost[i] = random() % 9 == 0;
    }
    const int lostCount = lost.count(true);
    qint64 lateMs = 0;
    QVERIFY(sendPaced(
        Signal::opusTone(frames), kLoopback, kStreamPort, 20, [&](int i) { return lost[i]; },
        &lateMs));
    QVERIFY(player.waitFor("the stream has ended"));
    QCOMPARE(player.stop(SIGINT), 0);
    QString problem;
    const QVector<float> written = Signal::wavSamples(dir.filePath("lossy.wav"), &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const qint64 concealed = player.figure("blocks concealed");
    qInfo("%d of %d lost, %lld blocks concealed; the sender was up to %lld ms late", lostCount,
          frames, concealed, lateMs);
    QCOMPARE(player.figure("played"), qint64(frames - lostCount));
    QVERIFY(concealed >= 2 * lostCount + 12);
    // Each lost 20 ms has been made up (one may be left to the rate): the length is the stream's,
    // but for what was too old to start with, and the 200 ms after its end, to within two frames,
    // the sender's lateness and the playback rate's correction.
    const qint64 expected = (frames - player.figure("skipped")) * 960 + 20 * 480;
    QVERIFY2(qAbs(written.size() - expected) <= 2 * 960 + 300 + 48 * std::min<qint64>(lateMs, 30),
             qPrintable(QString("%1 samples, %2 expected").arg(written.size()).arg(expected)));
    // Continuous: no 10 ms of the stream falls silent.
    for (int block = 0; block + 480 <= frames * 960 - 960; block += 480) {
        QVERIFY2(Signal::totalEnergy(written.mid(block, 480)) > 480 * 200.0 * 200.0,
                 qPrintable(QString("silent at %1").arg(block)));
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
    PlayerProcess player(quiet("signal.wav"));
    QVERIFY(player.waitFor("receiving on"));
    QWebSocket sender;
    QSignalSpy disconnected(&sender, &QWebSocket::disconnected);
    sender.open(QUrl("ws://127.0.0.1:14213"));
    QVERIFY(player.waitFor("sender 127.0.0.1 connected"));
    // While it streams, someone else's stream is not played.
    QVERIFY(sendPaced(Signal::opusTone(10), kLoopback, kStreamPort));
    QVERIFY(sendPaced(Signal::opusTone(10), QHostAddress("127.0.0.2"), kStreamPort));
    ::kill(pid_t(player.process.processId()), signal);
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 3000);
    QCOMPARE(sender.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
    QCOMPARE(player.finish(), 0);
    QCOMPARE(player.figure("from other sources"), qint64(10));
}

void TestPlayer::playsIntoSoundServer()
{
    PulseServer pulse;
    REQUIRE_PULSE(pulse, {{"player_sink"}, {}, {}});
    QProcess recorder;
    recorder.start("parec", QString("--device=player_sink.monitor --raw --format=s16le "
                                    "--rate=48000 --channels=1 --latency-msec=20")
                                .split(' '));
    // --allow-feedback: the stream comes from this machine, which would otherwise keep it silent.
    PlayerProcess player({"--no-announce", "--device", "player_sink", "--wav",
                          dir.filePath("restart.wav"), "--allow-feedback"},
                         pulse.environment());
    // A fresh sound server can take a couple of seconds to start a new stream.
    QVERIFY(player.waitFor("the output device is playing"));
    QVERIFY(sendPaced(Signal::opusTone(100), kLoopback, kStreamPort));
    QVERIFY(player.waitFor("the stream has ended"));
    const QVector<float> heard = Signal::samples16(recorder.readAllStandardOutput());
    // The loudest second holds the tone, at its own level (9000 / sqrt(2) RMS).
    double loudest = 0;
    for (int first = 0; first + 48000 <= heard.size(); first += 4800) {
        loudest = std::max(loudest, Signal::totalEnergy(heard.mid(first, 48000)) / 48000);
    }
    qInfo("recorded %d samples, loudest second's RMS %.0f", heard.size(), std::sqrt(loudest));
    QVERIFY(std::sqrt(loudest) > 5700 && std::sqrt(loudest) < 7000);
    // The sound server goes away under the player and comes back; the stream meanwhile still
    // reaches the file.
    pulse.stop();
    QVERIFY(player.waitFor("playback stopped"));
    QVERIFY(sendPaced(Signal::opusTone(50), kLoopback, kStreamPort));
    QVERIFY(pulse.start({{"player_sink"}, {}, {}}));
    QVERIFY(player.waitFor("playing on player_sink again", 15000));
    QCOMPARE(player.stop(SIGINT), 0);
    QString problem;
    QVERIFY(Signal::wavSamples(dir.filePath("restart.wav"), &problem).size() >= 150 * 960);
}

QTEST_GUILESS_MAIN(TestPlayer)
#include "tst_player.moc"
