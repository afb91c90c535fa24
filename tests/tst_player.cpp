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
    void streamIsWrittenWhole_data();
    void streamIsWrittenWhole();
    void lossIsConcealed();
    void holdsTheLevel_data();
    void holdsTheLevel();
    void growsAfterANearMiss_data();
    void growsAfterANearMiss();
    void rateMovesWithinItsBounds_data();
    void rateMovesWithinItsBounds();
    void whoPlays_data();
    void whoPlays();
    void newStreamStartsAtTheTarget();
    void outputGapTakesWhatPiledUp();
    void callsGetEachPacketAtItsPlace();
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

void TestPlayer::streamIsWrittenWhole_data()
{
    QTest::addColumn<bool>("killed"); // at 1.5 s, else ended by its duration
    QTest::addRow("to the end of its duration") << false;
    QTest::addRow("killed halfway") << true;
}

void TestPlayer::streamIsWrittenWhole()
{
    // Received on the bound address, played whole, the file complete however the player ends;
    // a generous target absorbs a busy machine's stalls.
    QFETCH(bool, killed);
    const QList<QByteArray> packets = Signal::opusTone(100);
    QElapsedTimer clock;
    clock.start();
    PlayerProcess player(quiet("whole.wav", "--latency 400 --bind 127.0.0.1 --duration 3.5"));
    QVERIFY(player.waitFor("receiving on"));
    QVERIFY(sendPaced(packets, kLoopback, kStreamPort, 20, [&](int i) {
        if (killed && i == 90) {
            ::kill(pid_t(player.process.processId()), SIGKILL);
        }
        return false;
    }));
    QCOMPARE(player.finish(), killed ? -1 : 0);
    QVERIFY2(killed || (clock.elapsed() >= 3500 && clock.elapsed() < 7000),
             qPrintable(QString::number(clock.elapsed())));
    const QVector<float> written = Signal::wavSamples(dir.filePath("whole.wav"));
    // What was sent, block by block, through a playback rate that may differ from 1 by 0.2 %;
    // killed, what had been played by then (the 400 ms target still held back).
    const QVector<float> sent = Signal::decodeAll(killed ? packets.mid(0, 40) : packets);
    QVERIFY(written.size() >= sent.size());
    const double error = Signal::worstBlockErrorDb(written, sent);
    QVERIFY2(error < -20, qPrintable(QString::number(error)));
    if (killed) {
        return;
    }
    QCOMPARE(player.figure("played"), qint64(packets.size()));
    QCOMPARE(player.figure("packets dropped"), qint64(0));
    // Made up: the 200 ms the decoder conceals before the player takes the stream as ended, and
    // what a busy machine's stalls may add; the file holds all of it.
    const qint64 concealed = player.figure("blocks concealed");
    QVERIFY2(concealed >= 20 && concealed <= 40, qPrintable(QString::number(concealed)));
    // (Less what the start trimmed off the head of the first packet.)
    const qint64 extra = written.size() - sent.size() - concealed * 480;
    QVERIFY2(extra > -960 - 300 && extra <= 300, qPrintable(QString::number(extra)));
}

void TestPlayer::lossIsConcealed()
{
    // A connected sender's lossy stream; Ctrl+C tells the sender the player goes.
    const int frames = 100;
    PlayerProcess player(quiet("lossy.wav"));
    QVERIFY(player.waitFor("receiving on"));
    QWebSocket sender;
    QSignalSpy disconnected(&sender, &QWebSocket::disconnected);
    sender.open(QUrl("ws://127.0.0.1:14213"));
    QVERIFY(player.waitFor("sender 127.0.0.1 connected"));
    std::mt19937 random(7);
    QVector<bool> lost(frames);
    // The start and the last half second arrive whole: a loss is seen once later packets come.
    for (int i = 10; i < frames - 25; ++i) {
        lost[i] = random() % 9 == 0;
    }
    const int lostCount = lost.count(true);
    qint64 lateMs = 0;
    const auto lose = [&](int i) {
        return lost[i];
    };
    QVERIFY(sendPaced(Signal::opusTone(frames), kLoopback, kStreamPort, 20, lose, &lateMs));
    QVERIFY(player.waitFor("the stream has ended"));
    QCOMPARE(player.stop(SIGINT), 0);
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 3000);
    QCOMPARE(sender.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
    const QVector<float> written = Signal::wavSamples(dir.filePath("lossy.wav"));
    QVERIFY(!written.isEmpty());
    const qint64 concealed = player.figure("blocks concealed");
    QCOMPARE(player.figure("played"), qint64(frames - lostCount));
    // Each lost 20 ms made up (two blocks), besides the 200 ms after the stream's end and what a
    // busy machine's stalls may add.
    QVERIFY2(concealed >= 2 * lostCount + 12 && concealed <= 2 * lostCount + 40,
             qPrintable(QString("%1 concealed, %2 lost").arg(concealed).arg(lostCount)));
    // The file holds what was played, less what was too old at the start, and all that was made
    // up, within two frames, the sender's lateness and the rate's correction.
    const qint64 expected = (frames - lostCount - player.figure("skipped")) * 960 + concealed * 480;
    QVERIFY2(qAbs(written.size() - expected) <= 2 * 960 + 300 + 48 * std::min<qint64>(lateMs, 30),
             qPrintable(QString("%1 samples, %2 expected").arg(written.size()).arg(expected)));
    // Continuous: no 10 ms of the stream falls silent.
    for (int block = 0; block + 480 <= frames * 960 - 960; block += 480) {
        QVERIFY2(Signal::totalEnergy(written.mid(block, 480)) > 480 * 200.0 * 200.0,
                 qPrintable(QString("silent at %1").arg(block)));
    }
}

void TestPlayer::holdsTheLevel_data()
{
    QTest::addColumn<double>("senderPpm"); // the sender's clock against the sound card's
    QTest::addColumn<int>("spikeMs");      // the network holds everything back this long at 60 s
    QTest::addColumn<int>("dipMs");        // and then, every 20 s, this long
    QTest::addColumn<int>("targetMs");     // at the end, 4 minutes in
    QTest::addColumn<int>("belowMs");      // how far the floor falls below the target from 80 s
    QTest::addRow("sender 500 ppm slow") << -500.0 << 0 << 0 << 17 << 17;
    QTest::addRow("sender 500 ppm fast") << 500.0 << 0 << 0 << 10 << 3;
    QTest::addRow("same clock") << 0.0 << 0 << 0 << 10 << 2;
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
    // The sender's bursts are held from the start: nothing made up, and without drift the rate
    // stays near 1 (it was held at its limit for the first half minute).
    QVERIFY(spikeMs > 0 || concealedAtStart == 0);
    QVERIFY(spikeMs > 0 || senderPpm != 0 || buffer.stats().largestCorrectionPpm < 400);
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

void TestPlayer::whoPlays_data()
{
    // Who plays first (the "sender", connected to the presence endpoint, a "stranger", or no one),
    // how long it is then silent (0: it plays on), and what a second source sends then: the
    // stream's packets or junk, at the pace of audio or as a flood.
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("quietMs");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("packets");
    QTest::addColumn<bool>("takesOver");
    QTest::addRow("a stranger's copies") << "sender" << 0 << "stranger" << 50 << false;
    QTest::addRow("a stranger 1.9 s after") << "sender" << 1900 << "stranger" << 5 << false;
    QTest::addRow("a stranger 2 s after") << "sender" << 2000 << "stranger" << 50 << true;
    QTest::addRow("a sender, from a stranger") << "stranger" << 0 << "sender" << 50 << true;
    QTest::addRow("a sender, from another") << "sender" << 0 << "sender" << 50 << false;
    QTest::addRow("junk") << "" << 0 << "stranger junk" << 1500 << false;
    QTest::addRow("a flood") << "" << 0 << "stranger flood" << 1500 << false;
    QTest::addRow("a flood of junk") << "" << 0 << "stranger junk flood" << 1500 << false;
}

void TestPlayer::whoPlays()
{
    QFETCH(QString, first);
    QFETCH(int, quietMs);
    QFETCH(QString, second);
    QFETCH(int, packets);
    QFETCH(bool, takesOver);
    player::JitterBuffer buffer;
    player::StreamReceiver receiver(buffer, [this] { return nowMs; });
    // An idle connection elsewhere reserves nothing.
    QList<QHostAddress> connected{QHostAddress("127.0.0.5")};
    connected << (first == "sender" ? kLoopback : connected[0])
              << (second.startsWith("sender") ? kStranger : connected[0]);
    receiver.setConnected(connected);
    QSignalSpy started(&receiver, &player::StreamReceiver::streamStarted);
    std::mt19937 random(23);
    const QList<QByteArray> stream = Signal::opusTone(std::max(packets, 50));
    qint16 block[960];
    const auto tick = [&](bool loud) {
        nowMs += 20;
        buffer.pull(block, 960);
        return !loud || std::any_of(block, block + 960, [](qint16 s) { return s != 0; });
    };
    for (int i = 0; !first.isEmpty() && i < 50; ++i) {
        receiver.process(stream.at(i), kLoopback);
        QVERIFY(tick(i >= 10));
    }
    nowMs += quietMs - 20;
    for (int i = 0; i < packets; ++i) {
        if (quietMs == 0 && !first.isEmpty()) {
            receiver.process(stream.at(i), kLoopback);
        }
        QByteArray datagram = stream.at(i);
        if (second.contains("junk")) {
            datagram.resize(int(random() % 300)); // some pass the checks one by one
            std::generate(datagram.begin(), datagram.end(), [&] { return char(random()); });
        }
        receiver.process(datagram, kStranger);
        // The first source's sound never stops for what another sends.
        if (!second.contains("flood") || i % 50 == 0) {
            QVERIFY(tick(quietMs == 0 && !first.isEmpty() && !takesOver));
        }
    }
    const player::StreamReceiver::Counters c = receiver.counters();
    QCOMPARE(c.played + c.invalid + c.foreign + c.pending, c.datagrams);
    QCOMPARE(started.count(), int(!first.isEmpty()) + int(takesOver));
    QCOMPARE(receiver.currentSource(),
             takesOver ? kStranger : QHostAddress(first.isEmpty() ? "" : "127.0.0.1"));
    // Refused: all the second source sent, or what the first sent once it had lost the player.
    QCOMPARE(c.datagrams - c.played, qint64(takesOver ? (quietMs ? 0 : packets - 1) : packets));
}

void TestPlayer::newStreamStartsAtTheTarget()
{
    // A sender pressing Start again: a new connection, then its new stream's first 200 ms at once;
    // later a flood of two seconds at once, then silence.
    player::JitterBuffer buffer;
    player::StreamReceiver receiver(buffer, [this] { return nowMs; });
    receiver.setConnected({kLoopback});
    const QList<QByteArray> stream = Signal::opusTone(300);
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
        QVERIFY2(i <= 100 || !buffer.isPlaying() || buffer.bufferedMs() <= buffer.targetMs() + 2,
                 qPrintable(QString("%1 ms held").arg(buffer.bufferedMs())));
    }
    QCOMPARE(buffer.stats().dropped, qint64(0));
    QVERIFY(buffer.stats().skipped >= 8);
    // The hard cap: the target and 200 ms (or twice the target), whatever comes at once.
    for (int i = 200; i < 300; ++i) {
        receiver.process(stream.at(i), kLoopback);
    }
    const int capMs = buffer.targetMs() + std::max(buffer.targetMs(), 200);
    QVERIFY2(buffer.bufferedMs() <= capMs, qPrintable(QString::number(buffer.bufferedMs())));
    QCOMPARE(buffer.stats().dropped, qint64(100 - capMs / 20));
    // 200 ms after the last of it has played, made up, the stream has ended.
    const qint64 concealed = buffer.stats().concealed;
    for (int n = 0; n < 100 && buffer.pull(block, 960) > 0; ++n) {
    }
    QCOMPARE(buffer.stats().concealed - concealed, qint64(20));
}

void TestPlayer::outputGapTakesWhatPiledUp()
{
    // 20 ms packets, 5 ms pulls; 2 s in, the process stalls for 60 ms, its output takes back
    // only 10 ms of it: what piled up goes at the gap, and the level's floor is the target again.
    player::JitterBuffer buffer;
    const QList<QByteArray> stream = Signal::opusTone(200);
    qint16 block[480];
    double floorMs = 1e9;
    for (int ms = 0, sent = 0; ms < 4000; ++ms) {
        const bool stalled = ms >= 2000 && ms < 2060;
        for (; sent * 20 <= ms && !stalled; ++sent) {
            buffer.push(stream.at(sent), 960, ms);
        }
        if (ms == 2060) {
            buffer.skipToTarget();
            buffer.pull(block, 480);
        } else if (ms % 5 == 0 && !stalled) {
            buffer.pull(block, 240);
            floorMs = ms > 2100 ? std::min(floorMs, buffer.bufferedMs()) : floorMs;
        }
    }
    QCOMPARE(buffer.stats().concealed, qint64(0));
    QVERIFY2(std::abs(floorMs - buffer.targetMs()) <= 2,
             qPrintable(QString("floor %1 ms, target %2 ms").arg(floorMs).arg(buffer.targetMs())));
}

void TestPlayer::callsGetEachPacketAtItsPlace()
{
    // The WebRTC calls get each packet as it arrives, before anything is played, stamped with
    // its place: a frame the sender lost (an empty datagram) leaves its gap for the browser, a
    // pause between streams its time.
    player::JitterBuffer buffer;
    QList<qint64> positions;
    buffer.setPacketTap([&](const QByteArray &, qint64 position) { positions << position; });
    const QList<QByteArray> stream = Signal::opusTone(3);
    buffer.push(stream[0], 960, 0);
    buffer.push(QByteArray(), 0, 20);
    buffer.push(stream[1], 960, 40);
    buffer.push(stream[2], 960, 60);
    // A new stream after 320 ms without one goes on by that time.
    buffer.reset();
    buffer.push(stream[0], 960, 400);
    QCOMPARE(positions, (QList<qint64>{0, 1920, 2880, 19200}));
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
