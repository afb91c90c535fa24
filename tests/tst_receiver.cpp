#include "Console.h"
#include "JitterBuffer.h"
#include "OpusPacket.h"
#include "Signal.h"
#include "SourceGate.h"
#include "StreamReceiver.h"
#include "WavWriter.h"

#include <QtEndian>
#include <QtTest>
#include <QUdpSocket>

#include <random>

class TestReceiver : public QObject
{
    Q_OBJECT

private slots:
    void sourceRule_data();
    void sourceRule();
    void wavFileStaysReadable();
    void statusLine_data();
    void statusLine();
    void hostileDatagrams();
};

void TestReceiver::sourceRule_data()
{
    // Steps "who@ms" (a datagram from 127.0.0.who at that time) or "hold who" / "hold -" (the
    // WebSocket holder), each with the verdict expected for datagrams: P(lay), N(ew stream),
    // F(oreign).
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
        const QHostAddress source(QStringLiteral("127.0.0.") + parts.at(0));
        switch (gate.admit(source, parts.at(1).toLongLong())) {
        case player::SourceGate::Verdict::Play:
            seen += QLatin1Char('P');
            break;
        case player::SourceGate::Verdict::NewStream:
            seen += QLatin1Char('N');
            break;
        case player::SourceGate::Verdict::Foreign:
            seen += QLatin1Char('F');
            break;
        }
    }
    QCOMPARE(seen, verdicts);
}

void TestReceiver::wavFileStaysReadable()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("out.wav");
    player::WavWriter writer(48000);
    QVERIFY(writer.open(path));
    QVector<qint16> second(48000);
    for (int i = 0; i < second.size(); ++i) {
        second[i] = qint16(i - 24000);
    }
    // Three and a half seconds, then a look at the file as a crash would leave it: the header
    // counts at least the first three seconds, and all of them are there.
    for (int i = 0; i < 7; ++i) {
        QVERIFY(writer.write(second.constData(), 24000));
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray whileWriting = file.readAll();
    const quint32 counted = qFromLittleEndian<quint32>(whileWriting.constData() + 40);
    QVERIFY(counted >= 3 * 96000 && counted <= quint32(whileWriting.size() - 44));
    QCOMPARE(qFromLittleEndian<quint32>(whileWriting.constData() + 4), counted + 36);
    writer.close();
    file.seek(0);
    const QByteArray closed = file.readAll();
    QCOMPARE(closed.size(), 44 + 7 * 48000);
    QCOMPARE(qFromLittleEndian<quint32>(closed.constData() + 40), quint32(7 * 48000));
    QCOMPARE(qFromLittleEndian<qint16>(closed.constData() + 44 + 2 * 1000), qint16(1000 - 24000));
    QVERIFY(!writer.open(dir.filePath("missing/out.wav")));
    QVERIFY(!writer.errorString().isEmpty());
}

void TestReceiver::statusLine_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("connected");
    QTest::addColumn<double>("peak");
    QTest::addColumn<qint64>("rejected");
    QTest::addColumn<QString>("expected");
    QTest::addRow("idle") << ""
                          << "" << 0.0 << qint64(0) << "waiting for a sender";
    QTest::addRow("idle, junk arrived")
        << ""
        << "" << 0.0 << qint64(3) << "waiting for a sender  rejected 3";
    QTest::addRow("connected, no stream yet")
        << ""
        << "10.0.0.2" << 0.0 << qint64(0) << "sender 10.0.0.2 connected, waiting for its stream";
    QTest::addRow("full scale")
        << "10.0.0.2"
        << "10.0.0.2" << 1.0 << qint64(0)
        << "10.0.0.2  50 pkt/s  32.5 kbit/s  concealed 4  dropped 1  buffer 58 ms  [############]";
    QTest::addRow("-24 dB is half the meter")
        << "10.0.0.2"
        << "" << 0.0631 << qint64(0)
        << "10.0.0.2  50 pkt/s  32.5 kbit/s  concealed 4  dropped 1  buffer 58 ms  [######------]";
    QTest::addRow("silence")
        << "10.0.0.2"
        << "" << 0.0 << qint64(2)
        << "10.0.0.2  50 pkt/s  32.5 kbit/s  concealed 4  dropped 1  buffer 58 "
           "ms  [------------]  rejected 2";
}

void TestReceiver::statusLine()
{
    QFETCH(QString, source);
    QFETCH(QString, connected);
    QFETCH(double, peak);
    QFETCH(qint64, rejected);
    QFETCH(QString, expected);
    player::StatusFigures figures;
    figures.source = QHostAddress(source);
    figures.connected = QHostAddress(connected);
    figures.packetsPerSecond = 50;
    figures.kilobitsPerSecond = 32.48;
    figures.concealed = 4;
    figures.dropped = 1;
    figures.rejected = rejected;
    figures.bufferMs = 58.4;
    figures.peak = peak;
    QCOMPARE(player::statusText(figures), expected);
}

void TestReceiver::hostileDatagrams()
{
    // Every 20 ms of simulated time the sender's packet arrives among ten hostile datagrams,
    // from the sender's own address and from another; the sound card takes 20 ms.
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

    const QList<QByteArray> stream = Signal::opusTone(10000);
    std::mt19937 random(23);
    QVector<qint16> block(960);
    qint64 hostile = 0;
    qint64 valid = 0;
    qint64 silentBlocks = 0;
    for (int tick = 0; tick < stream.size(); ++tick) {
        const QByteArray &packet = stream.at(tick);
        sender.writeDatagram(packet, loopback, receiver.port());
        ++valid;
        for (int k = 0; k < 10; ++k, ++hostile) {
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
            default: // a valid packet with junk after it
                datagram = packet + QByteArray(int(random() % 64), char(random()));
                break;
            }
            (k % 2 ? stranger : sender).writeDatagram(datagram, loopback, receiver.port());
        }
        receiver.readPending();
        buffer.pull(block.data(), block.size());
        if (tick > 100 &&
            std::all_of(block.cbegin(), block.cend(), [](qint16 s) { return s == 0; })) {
            ++silentBlocks;
        }
    }
    const player::StreamReceiver::Counters &c = receiver.counters();
    qInfo("%lld datagrams: %lld played, %lld invalid, %lld foreign; %lld dropped, %lld concealed",
          c.datagrams, c.played, c.invalid, c.foreign, buffer.stats().dropped,
          buffer.stats().concealed);
    // Loopback may lose some under load; what arrived is all accounted for.
    QVERIFY(c.datagrams > (valid + hostile) * 9 / 10);
    QCOMPARE(c.played + c.invalid + c.foreign, c.datagrams);
    QVERIFY(c.played >= valid * 9 / 10);
    // Playback never stalls: the tone goes on throughout.
    QVERIFY2(silentBlocks == 0, qPrintable(QString::number(silentBlocks)));
    QVERIFY(buffer.isPlaying());
}

QTEST_GUILESS_MAIN(TestReceiver)
#include "tst_receiver.moc"
