#include "JitterBuffer.h"
#include "OpusPacket.h"
#include "Signal.h"
#include "SourceGate.h"
#include "StreamReceiver.h"

#include <QtTest>
#include <QUdpSocket>

#include <random>

// The player's receiving side: which datagrams are packets, whose are played, and how the
// buffer holds the stream, on simulated time.
class TestReceiver : public QObject
{
    Q_OBJECT

private slots:
    void packetChecks_data();
    void packetChecks();
    void sourceRule_data();
    void sourceRule();
    void lossIsConcealed();
    void driftAndBursts_data();
    void driftAndBursts();
    void hostileDatagrams();
};

void TestReceiver::packetChecks_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("samples");
    QTest::addRow("20 ms") << Signal::opusTone(1, {960}).first() << 960;
    QTest::addRow("10 ms") << Signal::opusTone(1, {480}).first() << 480;
    QTest::addRow("5 ms") << Signal::opusTone(1, {240}).first() << 240;
    QTest::addRow("too large") << QByteArray(2000, '\x08') << 0;
    // TOC for 2.5 ms CELT frames: legal Opus, not what the sender makes.
    QTest::addRow("2.5 ms") << QByteArray::fromHex("8011223344") << 0;
    QTest::addRow("code 3 without frames") << QByteArray::fromHex("0300") << 0;
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
    // Steps "who@ms" (a datagram from 127.0.0.who at that time) or "hold who" / "hold -" (the
    // WebSocket holder), each datagram with its verdict: P(lay), N(ew stream), F(oreign).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("verdicts");
    QTest::addRow("first source keeps it")
        << QStringList{"1@0", "2@10", "1@20", "2@1500"} << "NFPF";
    QTest::addRow("released after 2 s of silence")
        << QStringList{"1@0", "2@1999", "2@2000", "1@2100"} << "NFNF";
    QTest::addRow("the same sender after a silence is a new stream")
        << QStringList{"1@0", "1@20", "1@5000"} << "NPN";
    QTest::addRow("holder only") << QStringList{"hold 2", "1@0", "2@10", "2@30", "1@9000"}
                                 << "FNPF";
    QTest::addRow("holder takes over a playing source")
        << QStringList{"1@0", "hold 2", "1@10", "2@20"} << "NFN";
    QTest::addRow("holder leaves, the rule of the first applies again")
        << QStringList{"hold 2", "2@0", "hold -", "1@10", "2@20", "1@2100"} << "NFPN";
}

void TestReceiver::sourceRule()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, verdicts);
    player::SourceGate gate;
    QString seen;
    for (const QString &step : qAsConst(steps)) {
        if (step.startsWith(QLatin1String("hold "))) {
            const QString who = step.mid(5);
            gate.setHolder(who == QLatin1String("-")
                               ? QHostAddress()
                               : QHostAddress(QStringLiteral("::ffff:127.0.0.") + who));
            continue;
        }
        const QStringList parts = step.split(QLatin1Char('@'));
        const auto verdict = gate.admit(QHostAddress(QStringLiteral("127.0.0.") + parts.at(0)),
                                        parts.at(1).toLongLong());
        seen += QStringLiteral("PNF").at(int(verdict));
    }
    QCOMPARE(seen, verdicts);
}

void TestReceiver::lossIsConcealed()
{
    const QList<QByteArray> packets = Signal::opusTone(500);
    player::JitterBuffer buffer(60);
    std::mt19937 random(5);
    int lost = 0;
    qint16 block[480];
    for (int tick = 0; tick < 1000; ++tick) {
        if (tick % 2 == 0 && random() % 10 == 0) {
            ++lost; // never arrives
        } else if (tick % 2 == 0) {
            buffer.push(packets.at(tick / 2), 960);
        }
        buffer.pull(block, 480);
    }
    // Each lost 20 ms packet is made up as two 10 ms blocks, within the buffer's slack.
    QVERIFY2(qAbs(buffer.stats().concealed - 2 * lost) <= 8,
             qPrintable(QStringLiteral("%1 for %2").arg(buffer.stats().concealed).arg(lost)));
}

void TestReceiver::driftAndBursts_data()
{
    QTest::addColumn<double>("senderSpeed"); // the sender's clock against ours
    QTest::addRow("sender 0.1 %% fast") << 1.001;
    QTest::addRow("sender 0.1 %% slow") << 0.999;
    QTest::addRow("same clock") << 1.0;
}

void TestReceiver::driftAndBursts()
{
    QFETCH(double, senderSpeed);
    // The sender's sound server hands over 50 ms at once: 20, 20 and 10 ms frames. Two seconds
    // encoded once and sent round: the level is under test, not the sound.
    const QList<QByteArray> pool = Signal::opusTone(3 * 40, {960, 960, 480});
    player::JitterBuffer buffer(60);
    int sent = 0;
    double nextBlockMs = 0;
    double minBuffered = 1e9;
    double maxBuffered = 0;
    qint16 block[480];
    for (qint64 nowMs = 0; nowMs < 5 * 60 * 1000; nowMs += 10) {
        for (; nextBlockMs <= nowMs; nextBlockMs += 50.0 / senderSpeed) {
            for (int i = 0; i < 3; ++i) {
                const QByteArray &packet = pool.at(sent++ % pool.size());
                buffer.push(packet, player::playableSamples(packet));
            }
        }
        buffer.pull(block, 480);
        if (nowMs > 10000) {
            minBuffered = std::min(minBuffered, buffer.bufferedMs());
            maxBuffered = std::max(maxBuffered, buffer.bufferedMs());
        }
    }
    qInfo("buffer %.0f to %.0f ms, %lld dropped, %lld concealed", minBuffered, maxBuffered,
          buffer.stats().dropped, buffer.stats().concealed);
    QVERIFY(maxBuffered <= 60 + 15 + 50);
    QVERIFY(minBuffered >= 30 - 15);
    // 0.1 % of five minutes is 300 ms: at most 30 packets to drop or blocks to make up.
    QVERIFY(buffer.stats().dropped <= 40);
    QVERIFY(buffer.stats().concealed <= 40);
}

void TestReceiver::hostileDatagrams()
{
    // Every 20 ms of simulated time the sender's packet arrives among ten hostile datagrams,
    // half from the sender's own address, half from a stranger; the sound card takes 20 ms.
    player::JitterBuffer buffer(60);
    QElapsedTimer clock;
    clock.start();
    player::StreamReceiver receiver(buffer, clock);
    const QHostAddress loopback(QStringLiteral("127.0.0.1"));
    QVERIFY(receiver.bind(loopback, 0));
    QUdpSocket sender;
    QUdpSocket stranger;
    QVERIFY(sender.bind(loopback, 0));
    QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.9")), 0));
    const QList<QByteArray> stream = Signal::opusTone(3000);
    std::mt19937 random(23);
    QVector<qint16> block(960);
    qint64 silentBlocks = 0;
    qint64 strangersPackets = 0;
    for (int tick = 0; tick < stream.size(); ++tick) {
        const QByteArray &packet = stream.at(tick);
        sender.writeDatagram(packet, loopback, receiver.port());
        for (int k = 0; k < 10; ++k) {
            QByteArray datagram;
            switch (random() % 5) {
            case 0: // random bytes
                datagram.resize(int(random() % 1500));
                for (char &c : datagram) {
                    c = char(random());
                }
                break;
            case 1: // truncated
                datagram = packet.left(int(random() % std::max(1, packet.size())));
                break;
            case 2: // mutated
                datagram = packet;
                datagram[int(random() % datagram.size())] = char(random());
                break;
            case 3: // oversized
                datagram = QByteArray(1276 + int(random() % 8000), char(random()));
                break;
            default: // the stream's own packet, again
                datagram = packet;
                break;
            }
            (k % 2 ? stranger : sender).writeDatagram(datagram, loopback, receiver.port());
            strangersPackets +=
                k % 2 && (datagram.isEmpty() || player::playableSamples(datagram) > 0) ? 1 : 0;
        }
        receiver.readPending();
        buffer.pull(block.data(), block.size());
        if (tick > 100 && std::all_of(block.cbegin(), block.cend(), [](qint16 s) { return !s; })) {
            ++silentBlocks;
        }
    }
    const player::StreamReceiver::Counters &c = receiver.counters();
    qInfo("%lld datagrams: %lld played, %lld invalid, %lld foreign; %lld dropped, %lld concealed",
          c.datagrams, c.played, c.invalid, c.foreign, buffer.stats().dropped,
          buffer.stats().concealed);
    QCOMPARE(c.played + c.invalid + c.foreign, c.datagrams);
    // Nothing of the stranger's is played, however valid; the tone never stops.
    QCOMPARE(c.foreign, strangersPackets);
    QVERIFY2(silentBlocks == 0, qPrintable(QString::number(silentBlocks)));
}

QTEST_GUILESS_MAIN(TestReceiver)
#include "tst_receiver.moc"
