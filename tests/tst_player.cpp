#include "JitterBuffer.h"
#include "LevelControl.h"
#include "OpusPacket.h"
#include "PresenceServer.h"
#include "Signal.h"
#include "StreamReceiver.h"
#include "TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <random>

namespace
{
constexpr quint16 kStreamPort = 10493;
const QHostAddress kLoopback("127.0.0.1");
const QHostAddress kStranger("127.0.0.9");
} // namespace

// The player: the program run as a user runs it, and its receiving side on simulated time:
// which datagrams are played, and how the buffer holds a stream whatever clocks and network do.
class TestPlayer : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void streamIsWrittenWhole();
    void lossIsConcealed();
    void playsIntoSoundServer_data();
    void playsIntoSoundServer();
    void holdsTheLevel_data();
    void holdsTheLevel();
    void growsAfterANearMiss_data();
    void growsAfterANearMiss();
    void rateMovesWithinItsBounds_data();
    void rateMovesWithinItsBounds();
    void onlyAStreamPlays();
    void newStreamStartsAtTheTarget();
    void presenceCannotBeHeldHostage();

private:
    QStringList quiet(const QString &file, const QString &more = "--latency 60")
    {
        return QStringList{"--no-playback", "--no-announce", "--wav", dir.filePath(file)} +
               more.split(' ');
    }
    QTemporaryDir dir;
    qint64 nowMs = 0;
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
    row("latency too low", {"--latency", "5"}, "", 2, "from 10 to 2000");
    row("bind not an address", {"--bind", "300.1.1.1"}, "", 2, "IP address");
    row("web port of the stream", {"--web-port", "10493"}, "", 2, "--web-port");
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
    // Received on the bound address, played whole, the file complete when the duration ends the
    // player; a generous target absorbs a busy machine's stalls.
    const QList<QByteArray> packets = Signal::opusTone(100);
    QElapsedTimer clock;
    clock.start();
    PlayerProcess player(quiet("whole.wav", "--latency 400 --bind 127.0.0.1 --duration 3.5"));
    QVERIFY(player.waitFor("receiving on"));
    QVERIFY(sendPaced(packets, kLoopback, kStreamPort));
    QCOMPARE(player.finish(), 0);
    QVERIFY2(clock.elapsed() >= 3500 && clock.elapsed() < 6000,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(player.figure("played"), qint64(packets.size()));
    QCOMPARE(player.figure("packets dropped"), qint64(0));
    // Nothing made up but the 200 ms the decoder conceals before the player takes it as ended.
    QCOMPARE(player.figure("blocks concealed"), qint64(20));
    const QVector<float> written = Signal::wavSamples(dir.filePath("whole.wav"));
    QVERIFY(!written.isEmpty());
    // What was sent, block by block, through a playback rate that may differ from 1 by 0.2 %.
    const QVector<float> sent = Signal::decodeAll(packets);
    QVERIFY(qAbs(written.size() - sent.size() - 20 * 480) <= 300);
    const double error = Signal::worstBlockErrorDb(written, sent);
    QVERIFY2(error < -20, qPrintable(QString::number(error)));
}

void TestPlayer::lossIsConcealed()
{
    // A connected sender's lossy stream beside a stranger's; Ctrl+C tells the sender it goes.
    const int frames = 100;
    PlayerProcess player(quiet("lossy.wav"));
    QVERIFY(player.waitFor("receiving on"));
    QWebSocket sender;
    QSignalSpy disconnected(&sender, &QWebSocket::disconnected);
    sender.open(QUrl("ws://127.0.0.1:14213"));
    QVERIFY(player.waitFor("sender 127.0.0.1 connected"));
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress("127.0.0.2"), 0));
    const QList<QByteArray> strangersStream = Signal::opusTone(10);
    std::mt19937 random(7);
    QVector<bool> lost(frames);
    // The start and the last half second arrive whole: a loss is seen once later packets come.
    for (int i = 10; i < frames - 25; ++i) {
        lost[i] = random() % 9 == 0;
    }
    const int lostCount = lost.count(true);
    qint64 lateMs = 0;
    const auto lose = [&](int i) {
        if (i >= 40 && i < 50) {
            stranger.writeDatagram(strangersStream.at(i - 40), kLoopback, kStreamPort);
        }
        return lost[i];
    };
    QVERIFY(sendPaced(Signal::opusTone(frames), kLoopback, kStreamPort, 20, lose, &lateMs));
    QVERIFY(player.waitFor("the stream has ended"));
    QCOMPARE(player.stop(SIGINT), 0);
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 3000);
    QCOMPARE(sender.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
    QCOMPARE(player.figure("from other sources"), qint64(10));
    const QVector<float> written = Signal::wavSamples(dir.filePath("lossy.wav"));
    QVERIFY(!written.isEmpty());
    const qint64 concealed = player.figure("blocks concealed");
    QCOMPARE(player.figure("played"), qint64(frames - lostCount));
    QVERIFY2(concealed >= 2 * lostCount + 12, qPrintable(QString::number(concealed)));
    // Each lost 20 ms made up: the stream's length, less what was too old at the start, plus the
    // 200 ms after its end, within two frames, the sender's lateness and the rate's correction.
    const qint64 expected = (frames - player.figure("skipped")) * 960 + 20 * 480;
    QVERIFY2(qAbs(written.size() - expected) <= 2 * 960 + 300 + 48 * std::min<qint64>(lateMs, 30),
             qPrintable(QString("%1 samples, %2 expected").arg(written.size()).arg(expected)));
    // Continuous: no 10 ms of the stream falls silent.
    for (int block = 0; block + 480 <= frames * 960 - 960; block += 480) {
        QVERIFY2(Signal::totalEnergy(written.mid(block, 480)) > 480 * 200.0 * 200.0,
                 qPrintable(QString("silent at %1").arg(block)));
    }
}

void TestPlayer::playsIntoSoundServer_data()
{
    // The stream comes from this machine: a sender capturing what the player plays would hear
    // itself, so it is kept silent unless the user insists.
    QTest::addColumn<bool>("insist");
    QTest::addColumn<bool>("qtOutput"); // as where the sound server's own library is not
    QTest::addRow("insisting on this machine's stream") << true << false;
    QTest::addRow("this machine's stream") << false << false;
    QTest::addRow("through Qt's output") << true << true;
}

void TestPlayer::playsIntoSoundServer()
{
    QFETCH(bool, insist);
    QFETCH(bool, qtOutput);
    PulseServer pulse;
    REQUIRE_PULSE(pulse, {{"player_sink"}, {}, {}});
    QProcess recorder;
    recorder.start("parec", QString("--device=player_sink.monitor --raw --format=s16le "
                                    "--rate=48000 --channels=1 --latency-msec=20")
                                .split(' '));
    PlayerProcess player(QStringList{"--no-announce", "--device", "player_sink"} +
                             (insist ? QStringList{"--allow-feedback"} : QStringList{}),
                         qtOutput ? QStringList{"env", "QT_NO_GLIB=1"} : QStringList{});
    // A fresh sound server can take a couple of seconds to start a new stream.
    QVERIFY(player.waitFor("the output device is playing"));
    // Half a second in, the player stalls for a tenth of a second: the gap is seen and counted.
    QVERIFY(sendPaced(Signal::opusTone(100), kLoopback, kStreamPort, 20, [&](int i) {
        if (i == 25) {
            ::kill(pid_t(player.process.processId()), SIGSTOP);
            QThread::msleep(100);
            ::kill(pid_t(player.process.processId()), SIGCONT);
        }
        return false;
    }));
    QVERIFY(player.waitFor("the stream has ended"));
    // The loudest half second holds the tone, at its own level (9000 / sqrt(2) RMS).
    const auto checkHeard = [&] {
        const QVector<float> heard = Signal::samples16(recorder.readAllStandardOutput());
        double loudest = 0;
        for (int first = 0; first + 24000 <= heard.size(); first += 4800) {
            loudest = std::max(loudest, Signal::totalEnergy(heard.mid(first, 24000)) / 24000);
        }
        return insist ? std::sqrt(loudest) > 5700 && std::sqrt(loudest) < 7000 : loudest < 1;
    };
    QVERIFY(checkHeard());
    if (!insist) {
        QCOMPARE(player.stop(SIGINT), 0);
        QVERIFY(player.output.contains("warning: the stream comes from this computer"));
        return;
    }
    // Idle, the output pauses, so that the sound card may sleep; the next stream wakes it.
    const auto paused = [] { // no stream playing into the sound server, or a corked one
        QProcess pactl;
        pactl.start("pactl", {"list", "sink-inputs"});
        return pactl.waitForFinished(5000) && pactl.exitCode() == 0 &&
               !pactl.readAllStandardOutput().contains("Corked: no");
    };
    QTRY_VERIFY_WITH_TIMEOUT(paused(), 5000);
    QVERIFY(sendPaced(Signal::opusTone(40), kLoopback, kStreamPort));
    QTest::qWait(200);
    QVERIFY(checkHeard());
    // The sound server goes away: said once, and played on again once it is back.
    pulse.stop();
    QVERIFY(player.waitFor("playback stopped"));
    REQUIRE_PULSE(pulse, {{"player_sink"}, {}, {}});
    QVERIFY(player.waitFor("the output device is playing again"));
    QCOMPARE(player.output.count("playback stopped"), 1);
    QCOMPARE(player.stop(SIGINT), 0);
    QVERIFY(player.figure("output underruns") >= 1);
    QVERIFY(!player.output.contains("warning: the stream comes from this computer"));
}

void TestPlayer::holdsTheLevel_data()
{
    QTest::addColumn<double>("senderPpm"); // the sender's clock against the sound card's
    QTest::addColumn<int>("spikeMs");      // the network holds everything back this long at 60 s
    QTest::addColumn<int>("dipMs");        // and then, every 20 s, this long
    QTest::addColumn<int>("targetMs");     // at the end, 4 minutes in
    QTest::addColumn<int>("belowMs");      // how far the floor falls below the target from 80 s
    QTest::addRow("sender 500 ppm slow") << -500.0 << 0 << 0 << 17 << 17;
    QTest::addRow("sender 500 ppm fast") << 500.0 << 0 << 0 << 12 << 3;
    QTest::addRow("same clock") << 0.0 << 0 << 0 << 12 << 2;
    QTest::addRow("same clock, a 150 ms spike") << 0.0 << 150 << 0 << 40 << 4;
    QTest::addRow("an overload, then the usual dips") << 0.0 << 190 << 30 << 48 << 34;
}

void TestPlayer::holdsTheLevel()
{
    QFETCH(double, senderPpm);
    QFETCH(int, spikeMs);
    QFETCH(int, dipMs);
    QFETCH(int, targetMs);
    QFETCH(int, belowMs);
    QList<QPair<qint64, int>> spikes = {{60000, spikeMs}};
    for (qint64 at = 80000; dipMs && at < 240000; at += 20000) {
        spikes.append({at, dipMs});
    }
    player::JitterBuffer buffer;
    double minMs = 1e9;
    double maxMs = -1e9;
    qint64 concealedAtStart = 0; // in the first seconds, or up to the spike's answer
    int grownTo = 0;
    simulateStream(buffer, 4 * 60 * 1000, senderPpm, spikes, [&](qint64 ms) {
        if (ms == 65000) {
            concealedAtStart = buffer.stats().concealed;
            grownTo = buffer.targetMs();
        }
        if (ms > 80000) {
            minMs = std::min(minMs, buffer.bufferedMs() - buffer.targetMs());
            maxMs = std::max(maxMs, buffer.bufferedMs() - buffer.targetMs());
        }
    });
    // Drift is absorbed by the rate alone, never a dropped or made-up block; a spike grew the
    // target at once, to hold the next, and it came down again in the calm after it, the usual
    // jitter no reason to keep it. The rate brings the level's floor to the target without
    // overshooting it (20 ms above it while the target comes down), bursts of 50 ms on top.
    QCOMPARE(buffer.stats().dropped, qint64(0));
    QCOMPARE(buffer.stats().concealed, concealedAtStart);
    QVERIFY(spikeMs == 0 || grownTo >= spikeMs); // only rows with a spike grow for one
    QCOMPARE(buffer.targetMs(), targetMs);
    QVERIFY2(minMs >= -belowMs && maxMs <= 50 + 20,
             qPrintable(QString("%1 to %2 ms off the target").arg(minMs).arg(maxMs)));
}

void TestPlayer::growsAfterANearMiss_data()
{
    QTest::addColumn<int>("floorMs");  // the lowest level of a quarter second, among 12 ms ones
    QTest::addColumn<int>("window");   // which quarter second of the stream
    QTest::addColumn<int>("targetMs"); // the target after it
    QTest::addRow("6 ms left") << 6 << 18 << 12;
    QTest::addRow("2 ms left: a near miss") << 2 << 18 << 20;
    QTest::addRow("2 ms left as the stream settles") << 2 << 6 << 12;
}

void TestPlayer::growsAfterANearMiss()
{
    QFETCH(int, floorMs);
    QFETCH(int, window);
    QFETCH(int, targetMs);
    constexpr int kMs = 48;
    player::LevelControl level;
    // Pulls of 5 ms, a packet of 20 ms every fourth: 27, 22, 17, 12 ms left, and so on.
    for (int pull = 0; pull < 20 * 50; ++pull) {
        const int floor = pull == window * 50 + 3 ? floorMs : 12;
        level.observe((floor + 15 - pull % 4 * 5) * kMs, 5 * kMs);
    }
    QCOMPARE(level.targetSamples() / kMs, targetMs);
}

void TestPlayer::rateMovesWithinItsBounds_data()
{
    QTest::addColumn<int>("offMs"); // the level's floor against a fixed target of 100 ms
    QTest::addColumn<double>("ppm");
    QTest::addRow("30 ms above") << 30 << 2000.0;
    QTest::addRow("30 ms below") << -30 << -2000.0;
    QTest::addRow("far above: catching up") << 100 << 10000.0;
    QTest::addRow("far below: no faster") << -100 << -2000.0;
}

void TestPlayer::rateMovesWithinItsBounds()
{
    QFETCH(int, offMs);
    QFETCH(double, ppm);
    player::LevelControl level(100);
    for (int pull = 0; pull < 10 * 100; ++pull) { // 10 s
        level.observe((100 + offMs) * 48, 480);
    }
    QCOMPARE(level.correctionPpm(), ppm);
}

void TestPlayer::onlyAStreamPlays()
{
    player::JitterBuffer buffer;
    player::StreamReceiver receiver(buffer, [this] { return nowMs; });
    QSignalSpy started(&receiver, &player::StreamReceiver::streamStarted);
    std::mt19937 random(23);
    const auto junk = [&] {
        QByteArray bytes(int(random() % 300), Qt::Uninitialized);
        std::generate(bytes.begin(), bytes.end(), [&] { return char(random()); });
        return bytes;
    };
    // Random bytes, at the pace of a stream and as a flood, from an address that never connected
    // (some pass the checks one by one); an idle connection elsewhere.
    receiver.setConnected({QHostAddress("127.0.0.5")});
    for (int i = 0; i < 3000; ++i, nowMs += i < 1500 ? 20 : 0) {
        receiver.process(junk(), kStranger);
    }
    QCOMPARE(started.count(), 0);
    // The sender's stream among the stranger's junk and copies of its packets: it plays (after
    // 100 ms on probation), nothing of the stranger's does, and the tone never stops.
    nowMs += 5000;
    const QList<QByteArray> stream = Signal::opusTone(1500);
    qint64 strangersPackets = 0;
    qint16 block[960];
    for (int tick = 0; tick < stream.size(); ++tick, nowMs += 20) {
        receiver.process(stream.at(tick), kLoopback);
        for (const QByteArray &datagram : {junk(), stream.at(tick)}) {
            receiver.process(datagram, kStranger);
            strangersPackets += tick >= 10 && player::playableSamples(datagram) > 0;
        }
        buffer.pull(block, 960);
        QVERIFY(tick < 10 || std::any_of(block, block + 960, [](qint16 s) { return s != 0; }));
    }
    const player::StreamReceiver::Counters c = receiver.counters();
    QCOMPARE(started.count(), 1);
    QCOMPARE(c.played, qint64(stream.size()));
    QVERIFY(c.foreign >= strangersPackets);
    QCOMPARE(c.played + c.invalid + c.foreign + c.pending, c.datagrams);
    // Two seconds after the sender went quiet, another stream may take the player over.
    nowMs += 2000;
    for (int tick = 0; tick < 10; ++tick, nowMs += 20) {
        receiver.process(stream.at(tick), kStranger);
    }
    QCOMPARE(started.count(), 2);
}

void TestPlayer::newStreamStartsAtTheTarget()
{
    // A sender pressing Start again: a new connection, then its new stream's first 200 ms at once.
    player::JitterBuffer buffer;
    player::StreamReceiver receiver(buffer, [this] { return nowMs; });
    receiver.setConnected({kLoopback});
    const QList<QByteArray> stream = Signal::opusTone(200);
    qint16 block[960];
    for (int i = 0; i < 200; ++i, nowMs += 20) {
        if (i == 100) {
            receiver.expectNewStream(kLoopback);
            for (int k = 0; k < 10; ++k) {
                receiver.process(stream.at(k), kLoopback);
            }
        }
        receiver.process(stream.at(i), kLoopback);
        buffer.pull(block, 960);
        // It holds the target, not what the burst left above it (up to a packet more).
        QVERIFY2(i <= 100 || buffer.bufferedMs() <= buffer.targetMs() + 2,
                 qPrintable(QString("%1 ms held").arg(buffer.bufferedMs())));
    }
    QCOMPARE(buffer.stats().dropped, qint64(0));
    QVERIFY(buffer.stats().skipped >= 8);
}

void TestPlayer::presenceCannotBeHeldHostage()
{
    player::PresenceServer presence;
    QVERIFY(presence.listen(QHostAddress::LocalHost, 0));
    const auto connectAs = [&](const QString &from) {
        return connectFrom(from, presence.port(), upgradeRequest("/"));
    };
    // Idle connections from one address: 4 held, older ones going; then from many: 32 in all.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 60; ++i) {
        idle.push_back(connectAs(QString("127.0.0.%1").arg(i < 20 ? 5 : 20 + i)));
        if (i == 19 || i == 59) {
            QTRY_COMPARE_WITH_TIMEOUT(presence.connectionCount(), i == 19 ? 4 : 32, 5000);
        }
    }
    // The real sender gets in; one saying more than a sender ever does is cut off, and so is one
    // that sends nothing within 3 s.
    QWebSocket sender;
    sender.open(QUrl(QString("ws://127.0.0.1:%1").arg(presence.port())));
    QTRY_VERIFY_WITH_TIMEOUT(presence.senders().contains(kLoopback), 3000);
    auto talker = connectAs("127.0.0.3");
    auto mute = connectFrom("127.0.0.4", presence.port(), "GET / HTTP/1.1\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(presence.senders().contains(QHostAddress("127.0.0.3")), 3000);
    talker->write(QByteArray("\x82\xfe\x07\xd0\0\0\0\0", 8) + QByteArray(2000, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(!presence.senders().contains(QHostAddress("127.0.0.3")), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(mute->state(), QAbstractSocket::UnconnectedState, 6000);
    QCOMPARE(sender.state(), QAbstractSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(TestPlayer)
#include "tst_player.moc"
