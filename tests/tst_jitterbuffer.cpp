#include "JitterBuffer.h"
#include "OpusPacket.h"
#include "Signal.h"

#include <QtTest>

#include <algorithm>
#include <random>

class TestJitterBuffer : public QObject
{
    Q_OBJECT

private slots:
    void packetChecks_data();
    void packetChecks();
    void losslessIsExact();
    void lossIsConcealed();
    void driftAndBursts_data();
    void driftAndBursts();
    void hostilePackets();
};

void TestJitterBuffer::packetChecks_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("samples");
    QTest::addRow("20 ms") << Signal::opusTone(1, {960}).first() << 960;
    QTest::addRow("10 ms") << Signal::opusTone(1, {480}).first() << 480;
    QTest::addRow("5 ms") << Signal::opusTone(1, {240}).first() << 240;
    QTest::addRow("empty") << QByteArray() << 0;
    QTest::addRow("too large") << QByteArray(2000, '\x08') << 0;
    // TOC for 2.5 ms CELT frames: legal Opus, not what the sender makes.
    QTest::addRow("2.5 ms") << QByteArray::fromHex("8011223344") << 0;
    // Code 3 with a frame count of 0.
    QTest::addRow("no frames") << QByteArray::fromHex("0300") << 0;
    QTest::addRow("truncated code 2") << QByteArray::fromHex("02ff") << 0;
}

void TestJitterBuffer::packetChecks()
{
    QFETCH(QByteArray, packet);
    QFETCH(int, samples);
    QCOMPARE(player::playableSamples(packet), samples);
}

void TestJitterBuffer::losslessIsExact()
{
    const QList<QByteArray> sent = Signal::opusTone(100);
    Signal::OpusStream reference;
    for (const QByteArray &packet : sent) {
        reference.decode(packet);
    }

    // Packets arrive every 20 ms; the sound card takes 10 ms at a time.
    player::JitterBuffer buffer(60);
    QVector<float> played;
    int firstPlayed = -1;
    qint64 concealedWhileSending = 0;
    for (int tick = 0; tick < 2 * 100 + 20; ++tick) {
        if (tick % 2 == 0 && tick / 2 < sent.size()) {
            buffer.push(sent.at(tick / 2), 960);
            concealedWhileSending = buffer.stats().concealed;
        }
        if (firstPlayed < 0 && buffer.isPlaying()) {
            firstPlayed = played.size();
        }
        qint16 block[480];
        buffer.pull(block, 480);
        for (const qint16 s : block) {
            played << s;
        }
    }
    QVERIFY(firstPlayed >= 0);
    QCOMPARE(concealedWhileSending, qint64(0));
    QCOMPARE(buffer.stats().dropped, qint64(0));
    const QVector<float> heard = played.mid(firstPlayed, reference.samples().size());
    QCOMPARE(heard, reference.samples());
}

void TestJitterBuffer::lossIsConcealed()
{
    const QList<QByteArray> packets = Signal::opusTone(500);
    player::JitterBuffer buffer(60);
    std::mt19937 random(5);
    int pulled = 0;
    int lost = 0;
    for (int tick = 0; tick < 1000; ++tick) {
        if (tick % 2 == 0) {
            const QByteArray &packet = packets.at(tick / 2);
            if (random() % 10 == 0) {
                ++lost; // never arrives
            } else {
                buffer.push(packet, 960);
            }
        }
        qint16 block[480];
        buffer.pull(block, 480);
        pulled += 480;
    }
    QCOMPARE(pulled, 1000 * 480);
    QVERIFY(lost > 20);
    // Each lost 20 ms packet is made up as two 10 ms blocks, within the buffer's slack.
    QVERIFY2(
        qAbs(buffer.stats().concealed - 2 * lost) <= 8,
        qPrintable(
            QStringLiteral("%1 concealed for %2 lost").arg(buffer.stats().concealed).arg(lost)));
}

void TestJitterBuffer::driftAndBursts_data()
{
    QTest::addColumn<double>("senderSpeed"); // the sender's clock against ours
    QTest::addRow("sender 0.1 %% fast") << 1.001;
    QTest::addRow("sender 0.1 %% slow") << 0.999;
    QTest::addRow("same clock") << 1.0;
}

void TestJitterBuffer::driftAndBursts()
{
    QFETCH(double, senderSpeed);
    // The sender's sound server hands over 50 ms blocks: 20, 20 and 10 ms frames at once.
    // Two seconds encoded once and sent round and round: the level is under test, not the
    // sound, and encoding half an hour three times over would be most of the run.
    const QList<QByteArray> pool = Signal::opusTone(3 * 40, {960, 960, 480});
    int sent = 0;
    player::JitterBuffer buffer(60);
    const qint64 runMs = 30 * 60 * 1000;
    double nextBlockMs = 0;
    double minBuffered = 1e9;
    double maxBuffered = 0;
    for (qint64 nowMs = 0; nowMs < runMs; nowMs += 10) {
        while (nextBlockMs <= nowMs) {
            for (int i = 0; i < 3; ++i) {
                const QByteArray &packet = pool.at(sent++ % pool.size());
                buffer.push(packet, player::playableSamples(packet));
            }
            nextBlockMs += 50.0 / senderSpeed;
        }
        qint16 block[480];
        buffer.pull(block, 480);
        if (nowMs > 10000) {
            minBuffered = std::min(minBuffered, buffer.bufferedMs());
            maxBuffered = std::max(maxBuffered, buffer.bufferedMs());
        }
    }
    qInfo("buffer %.0f to %.0f ms, %lld dropped, %lld concealed", minBuffered, maxBuffered,
          buffer.stats().dropped, buffer.stats().concealed);
    // Bounds: the floor stays within a tolerance (15 ms) of where it started (between 30 and
    // 60 ms), a burst of 50 ms sits on top of it, and it never runs dry. 0.1 % of half an hour
    // is 1.8 s: at most 180 packets of 10 ms or more to drop, or 180 blocks of 10 ms to make
    // up, with some slack.
    QVERIFY(maxBuffered <= 60 + 15 + 50);
    QVERIFY(minBuffered >= 30 - 15);
    QVERIFY(buffer.stats().dropped <= 220);
    QVERIFY(buffer.stats().concealed <= 220);
}

void TestJitterBuffer::hostilePackets()
{
    std::mt19937 random(11);
    player::JitterBuffer buffer(40);
    const QByteArray valid = Signal::opusTone(1).first();
    qint64 accepted = 0;
    for (int i = 0; i < 100000; ++i) {
        QByteArray datagram(static_cast<int>(random() % 1400), Qt::Uninitialized);
        if (i % 2) {
            datagram = valid;
            datagram[static_cast<int>(random() % datagram.size())] = char(random());
        } else {
            for (char &c : datagram) {
                c = char(random());
            }
        }
        const int samples = player::playableSamples(datagram);
        if (samples > 0) {
            buffer.push(datagram, samples);
            ++accepted;
        }
        qint16 block[480];
        buffer.pull(block, 480);
    }
    QCOMPARE(buffer.stats().packets, accepted);
    qInfo("%lld of 100000 hostile datagrams passed the check and were decoded or concealed",
          accepted);
}

QTEST_GUILESS_MAIN(TestJitterBuffer)
#include "tst_jitterbuffer.moc"
