#include "JitterBuffer.h"
#include "OpusPacket.h"
#include "PresenceServer.h"
#include "Signal.h"
#include "SourceGate.h"
#include "StreamReceiver.h"
#include "TestSupport.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <random>

namespace
{
const QHostAddress kSender("127.0.0.1");
const QHostAddress kStranger("127.0.0.9");
} // namespace

// The player's receiving side on simulated time: which datagrams are played, and how the buffer
// holds a stream whatever the clocks and the network do.
class TestReceiver : public QObject
{
    Q_OBJECT

private slots:
    void packetChecks_data();
    void packetChecks();
    void sourceRule_data();
    void sourceRule();
    void holdsTheLevel_data();
    void holdsTheLevel();
    void onlyAStreamPlays();
    void newStreamStartsAtTheTarget();
    void presenceCannotBeHeldHostage();

private:
    qint64 nowMs = 0;
};

void TestReceiver::packetChecks_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("samples");
    const QByteArray frame = Signal::opusTone(1).first();
    QTest::addRow("20 ms") << frame << 960;
    QTest::addRow("5 ms") << Signal::opusTone(1, {240}).first() << 240;
    QTest::addRow("stereo") << char(frame[0] | 0x04) + frame.mid(1) << 0;
    QTest::addRow("two frames") << char(frame[0] | 0x01) + frame.mid(1) + frame.mid(1) << 0;
    QTest::addRow("too large") << QByteArray(2000, '\x08') << 0;
    // TOC for 2.5 ms CELT frames: legal Opus, not what the sender makes.
    QTest::addRow("2.5 ms") << QByteArray::fromHex("8011223344") << 0;
    QTest::addRow("truncated code 2") << QByteArray::fromHex("02ff") << 0;
}

void TestReceiver::packetChecks()
{
    QFETCH(QByteArray, packet);
    QFETCH(int, samples);
    QCOMPARE(player::playableSamples(packet), samples);
}

void TestReceiver::sourceRule_data()
{
    // Steps "who@ms" (a datagram from 127.0.0.who at that time), "connected who..." (the senders
    // connected to the WebSocket) or "new who" (a new connection from who); each datagram with
    // its verdict: P(lay), N(ew stream), F(oreign).
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("verdicts");
    QTest::addRow("first source keeps it") << "1@0 2@10 1@20 2@1500"
                                           << "NFPF";
    QTest::addRow("released after 2 s of silence") << "1@0 2@1999 2@2000 1@2100"
                                                   << "NFNF";
    QTest::addRow("the same sender after a silence starts afresh") << "1@0 1@20 1@5000"
                                                                   << "NPN";
    QTest::addRow("a connected sender takes over") << "1@0 connected=2 1@10 2@20 1@30"
                                                   << "NPNF";
    QTest::addRow("an idle connection reserves nothing") << "connected=2,3 1@0 1@20 3@40"
                                                         << "NPN";
    QTest::addRow("a new connection starts afresh") << "connected=1 1@0 1@20 new=1 1@40 1@60"
                                                    << "NPNP";
}

void TestReceiver::sourceRule()
{
    QFETCH(QString, steps);
    QFETCH(QString, verdicts);
    player::SourceGate gate;
    QString seen;
    for (const QString &step : steps.split(' ')) {
        const QStringList words = step.split(QRegularExpression("[=@]"));
        QList<QHostAddress> senders;
        for (const QString &who : words.at(step.contains('@') ? 0 : 1).split(',')) {
            senders << QHostAddress("::ffff:127.0.0." + who);
        }
        if (words.first() == "connected") {
            gate.setConnected(senders);
        } else if (words.first() == "new") {
            gate.expectNewStream(senders.first());
        } else {
            seen += QString("PNF").at(int(gate.admit(senders.first(), words.at(1).toLongLong())));
        }
    }
    QCOMPARE(seen, verdicts);
}

void TestReceiver::holdsTheLevel_data()
{
    QTest::addColumn<double>("senderPpm"); // the sender's clock against the sound card's
    QTest::addColumn<int>("spikeMs");      // the network holds everything back this long, twice
    QTest::addRow("sender 500 ppm slow") << -500.0 << 0;
    QTest::addRow("sender 500 ppm fast") << 500.0 << 0;
    QTest::addRow("same clock, 150 ms spikes") << 0.0 << 150;
}

void TestReceiver::holdsTheLevel()
{
    QFETCH(double, senderPpm);
    QFETCH(int, spikeMs);
    player::JitterBuffer buffer;
    double minMs = 1e9;
    double maxMs = -1e9;
    qint64 concealedAtStart = 0; // in the first seconds, or up to the first spike's answer
    int targetAfterSpike = 0;
    simulateStream(buffer, 4 * 60 * 1000, senderPpm, {{60000, spikeMs}, {120000, spikeMs}},
                   [&](qint64 ms) {
                       if (ms == (spikeMs ? 90000 : 10000)) {
                           concealedAtStart = buffer.stats().concealed;
                           targetAfterSpike = buffer.targetMs();
                       }
                       if (ms > 60000) {
                           minMs = std::min(minMs, buffer.bufferedMs() - buffer.targetMs());
                           maxMs = std::max(maxMs, buffer.bufferedMs() - buffer.targetMs());
                       }
                   });
    const player::JitterBuffer::Stats &stats = buffer.stats();
    qInfo("level %.0f to %.0f ms off the target, %lld concealed (%lld at first), largest "
          "correction %.0f ppm",
          minMs, maxMs, stats.concealed, concealedAtStart, stats.largestCorrectionPpm);
    // Drift is absorbed by the rate alone, never by a dropped packet or a made-up block; after
    // the first minute the level's floor stays within 10 ms below the target and 20 ms above it
    // (while the target comes down), with the sender's bursts of 50 ms on top. A spike grew the
    // target at once, to hold the next one.
    QCOMPARE(stats.dropped, qint64(0));
    QCOMPARE(stats.concealed, concealedAtStart);
    QVERIFY(spikeMs || (minMs >= -10 && maxMs <= 50 + 20));
    QVERIFY(stats.largestCorrectionPpm <= 2000);
    QVERIFY(targetAfterSpike >= spikeMs);
}

void TestReceiver::onlyAStreamPlays()
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
    // The sender's stream among the stranger's junk and copies of the sender's own packets: it
    // plays (after a tenth of a second on probation), nothing of the stranger's does, and the
    // tone never stops.
    nowMs += 5000;
    const QList<QByteArray> stream = Signal::opusTone(1500);
    qint64 strangersPackets = 0;
    qint16 block[960];
    for (int tick = 0; tick < stream.size(); ++tick, nowMs += 20) {
        receiver.process(stream.at(tick), kSender);
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
}

void TestReceiver::newStreamStartsAtTheTarget()
{
    // A sender pressing Start again: a new connection, then its new stream's first 200 ms at once.
    player::JitterBuffer buffer;
    player::StreamReceiver receiver(buffer, [this] { return nowMs; });
    receiver.setConnected({kSender});
    const QList<QByteArray> stream = Signal::opusTone(200);
    qint16 block[960];
    for (int i = 0; i < 200; ++i, nowMs += 20) {
        if (i == 100) {
            receiver.expectNewStream(kSender);
            for (int k = 0; k < 10; ++k) {
                receiver.process(stream.at(k), kSender);
            }
        }
        receiver.process(stream.at(i), kSender);
        buffer.pull(block, 960);
        QVERIFY(i <= 100 || buffer.bufferedMs() <= buffer.targetMs() + 20);
    }
    QCOMPARE(buffer.stats().dropped, qint64(0));
    QVERIFY(buffer.stats().skipped >= 8);
}

void TestReceiver::presenceCannotBeHeldHostage()
{
    player::PresenceServer presence;
    QVERIFY(presence.listen(QHostAddress::LocalHost, 0));
    // A WebSocket handshake from an address of one's choice.
    const auto connectFrom = [&](const QString &from) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(from));
        socket->connectToHost(QHostAddress::LocalHost, presence.port());
        socket->write(
            "GET / HTTP/1.1\r\nHost: p\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        return socket;
    };
    // Idle connections from one address, and from many: bounded, the oldest going.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 60; ++i) {
        idle.push_back(connectFrom(QString("127.0.0.%1").arg(i < 20 ? 5 : 20 + i)));
    }
    QTRY_COMPARE_WITH_TIMEOUT(presence.connectionCount(), player::PresenceServer::kMaxConnections,
                              5000);
    // The real sender gets in; one saying more than a sender ever does is cut off.
    QWebSocket sender;
    sender.open(QUrl(QString("ws://127.0.0.1:%1").arg(presence.port())));
    QTRY_VERIFY_WITH_TIMEOUT(presence.senders().contains(kSender), 3000);
    auto talker = connectFrom("127.0.0.3");
    QTRY_VERIFY_WITH_TIMEOUT(presence.senders().contains(QHostAddress("127.0.0.3")), 3000);
    talker->write(QByteArray("\x82\xfe\x07\xd0\0\0\0\0", 8) + QByteArray(2000, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(!presence.senders().contains(QHostAddress("127.0.0.3")), 3000);
    QCOMPARE(sender.state(), QAbstractSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(TestReceiver)
#include "tst_receiver.moc"
