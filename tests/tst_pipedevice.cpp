#include "PcmConversion.h"
#include "PipeDevice.h"
#include "ReceiverAddress.h"
#include "Signal.h"
#include "TestSupport.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QtTest>
#include <QUdpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <opus.h>

#include <cmath>
#include <memory>

namespace
{

const QString kLoopback = QStringLiteral("127.0.0.1");

// A UDP endpoint at the receiver's port that keeps every datagram it gets.
struct Receiver {
    explicit Receiver(const QString &address)
    {
        bound = socket.bind(QHostAddress(address), PipeDevice::kReceiverUdpPort);
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this]() {
            while (socket.hasPendingDatagrams()) {
                datagrams.append(socket.receiveDatagram().data());
            }
        });
    }
    QUdpSocket socket;
    bool bound = false;
    QList<QByteArray> datagrams;
};

QAudioFormat pcmFormat(int rate, int channels)
{
    return Pcm::signed16Format(rate, channels);
}

// Drives a device the way the capture controller does.
std::unique_ptr<PipeDevice> makeDevice(QUdpSocket &socket, const QString &address,
                                       const QAudioFormat &format, bool stream = true)
{
    auto device = std::make_unique<PipeDevice>();
    device->setReceiverIp(address);
    device->setUdpSocket(&socket);
    device->open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (stream) {
        device->startStreaming();
    }
    device->setOutputSampleRate(PipeDevice::kStreamSampleRate);
    device->setAudioFormat(format);
    device->createResampler();
    return device;
}

void writeInBlocks(PipeDevice &device, const QByteArray &data, int blockBytes)
{
    for (int offset = 0; offset < data.size(); offset += blockBytes) {
        device.write(data.mid(offset, blockBytes));
    }
}

} // namespace

class TestPipeDevice : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void soundSurvives_data();
    void soundSurvives();
    void floatCaptureIsConverted();
    void longBlocksLoseNothing_data();
    void longBlocksLoseNothing();
    void notStreaming();
    void gainScalesTheSound();
    void volumeReportsThePeakOfTheKeptChannel();
    void unsupportedFormatSendsNothing();
    void encoderMissingSendsNothing();
    void transportLogLine();
    void datagramsFollowTheCurrentReceiver();
    void webSocketUrlAndClosing();
    void webSocketRefused();
    void stopStreamingKeepsWebSocket();
    void oversizedWebSocketMessage_data();
    void oversizedWebSocketMessage();
    void receiverAddress_data();
    void receiverAddress();
    void numericAddressesOnly_data();
    void numericAddressesOnly();
};

void TestPipeDevice::framing_data()
{
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QList<int>>("frameSamples"); // in the order they arrive
    QTest::addColumn<int>("sentAtOnce");
    QTest::addColumn<int>("left");

    QTest::addRow("478 bytes wait") << 478 << QList<int>{} << 0 << 478;
    QTest::addRow("1918 bytes: 10 and 5 ms by the timer")
        << 1918 << QList<int>{480, 240} << 0 << 478;
    QTest::addRow("3840 bytes: 20 ms now, 20 ms by the timer")
        << 3840 << QList<int>{960, 960} << 1 << 0;
    QTest::addRow("480 bytes: 5 ms by the timer") << 480 << QList<int>{240} << 0 << 0;
}

void TestPipeDevice::framing()
{
    QFETCH(int, bytes);
    QFETCH(QList<int>, frameSamples);
    QFETCH(int, sentAtOnce);
    QFETCH(int, left);

    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(48000, 1));

    const QByteArray block = Signal::sine16(48000, bytes / 2, {440.0}, 6000).left(bytes);
    QCOMPARE(device->write(block), qint64(bytes));
    // What was sent at once has left the buffer before the event loop runs.
    int queued = bytes;
    for (int i = 0; i < sentAtOnce; ++i) {
        queued -= frameSamples.at(i) * 2;
    }
    QCOMPARE(device->pendingBytes(), queued);

    QTRY_COMPARE_WITH_TIMEOUT(receiver.datagrams.size(), frameSamples.size(), 2000);
    QCOMPARE(device->pendingBytes(), left);
    // The timer stops once less than 5 ms is buffered.
    QTest::qWait(80);
    QCOMPARE(receiver.datagrams.size(), frameSamples.size());

    Signal::OpusStream decoder;
    for (int i = 0; i < frameSamples.size(); ++i) {
        const QByteArray &packet = receiver.datagrams.at(i);
        const int samples = opus_packet_get_nb_samples(
            reinterpret_cast<const unsigned char *>(packet.constData()), packet.size(), 48000);
        QCOMPARE(samples, frameSamples.at(i));
        QCOMPARE(opus_packet_get_nb_frames(
                     reinterpret_cast<const unsigned char *>(packet.constData()), packet.size()),
                 1);
        QCOMPARE(decoder.decode(packet), frameSamples.at(i));
    }
}

void TestPipeDevice::soundSurvives_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<QVector<double>>("tones"); // one per channel
    QTest::addColumn<int>("blockMs");

    QTest::addRow("48000 Hz mono") << 48000 << QVector<double>{1000.0} << 20;
    QTest::addRow("44100 Hz stereo") << 44100 << QVector<double>{1000.0, 3000.0} << 50;
    QTest::addRow("96000 Hz mono") << 96000 << QVector<double>{1000.0} << 10;
}

void TestPipeDevice::soundSurvives()
{
    QFETCH(int, rate);
    QFETCH(QVector<double>, tones);
    QFETCH(int, blockMs);

    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(rate, tones.size()));

    const QByteArray audio = Signal::sine16(rate, rate, tones, 12000); // one second
    writeInBlocks(*device, audio, rate * blockMs / 1000 * tones.size() * 2);
    QTRY_VERIFY_WITH_TIMEOUT(device->pendingBytes() < 480, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.datagrams.size() > 0, true, 1000);

    Signal::OpusStream decoder;
    for (const QByteArray &packet : receiver.datagrams) {
        QVERIFY(decoder.decode(packet) > 0);
    }
    // Past the codec's and the resampler's start-up, 0.8 s: a whole number of 1 kHz periods.
    const QVector<float> window = decoder.samples().mid(4800, 38400);
    QCOMPARE(window.size(), 38400);
    // libopus at its defaults gives about 16 dB on a pure tone in 20 ms frames (45 dB in 10 ms
    // frames); a lost block, a wrong rate or the wrong channel falls far below 12 dB.
    const double snr = Signal::signalToNoiseDb(window, 48000, 1000.0);
    qInfo("SNR at 1 kHz: %.1f dB", snr);
    QVERIFY2(snr > 12.0, qPrintable(QString::number(snr)));
    if (tones.size() > 1) {
        // The second channel's 3 kHz tone is dropped, not mixed in.
        const double other = Signal::toneEnergy(window, 48000, 3000.0);
        QVERIFY(other < 1e-3 * Signal::totalEnergy(window));
    }
}

void TestPipeDevice::floatCaptureIsConverted()
{
    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    QAudioFormat format = pcmFormat(48000, 1);
    format.setSampleSize(32);
    format.setSampleType(QAudioFormat::Float);
    auto device = makeDevice(socket, kLoopback, format);

    QByteArray audio(48000 * 4, Qt::Uninitialized);
    auto *samples = reinterpret_cast<float *>(audio.data());
    for (int i = 0; i < 48000; ++i) {
        samples[i] = static_cast<float>(0.4 * std::sin(2 * M_PI * 1000.0 * i / 48000));
    }
    writeInBlocks(*device, audio, 960 * 4);
    QTRY_VERIFY_WITH_TIMEOUT(device->pendingBytes() < 480, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(receiver.datagrams.size() >= 40, 1000);

    Signal::OpusStream decoder;
    for (const QByteArray &packet : receiver.datagrams) {
        decoder.decode(packet);
    }
    const QVector<float> window = decoder.samples().mid(4800, 28800);
    QVERIFY2(Signal::signalToNoiseDb(window, 48000, 1000.0) > 12.0,
             qPrintable(QString::number(Signal::signalToNoiseDb(window, 48000, 1000.0))));
}

void TestPipeDevice::longBlocksLoseNothing_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("blockMs");
    QTest::addRow("44100 Hz, 250 ms blocks") << 44100 << 250;
    QTest::addRow("96000 Hz, 200 ms blocks") << 96000 << 200;
    QTest::addRow("44100 Hz, 50 ms blocks") << 44100 << 50;
}

void TestPipeDevice::longBlocksLoseNothing()
{
    QFETCH(int, rate);
    QFETCH(int, blockMs);

    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(rate, 1));

    const QByteArray audio = Signal::sine16(rate, rate, {1000.0}, 12000);
    writeInBlocks(*device, audio, rate * blockMs / 1000 * 2);
    QTRY_VERIFY_WITH_TIMEOUT(device->pendingBytes() < 480, 5000);

    Signal::OpusStream decoder;
    QTRY_VERIFY_WITH_TIMEOUT(!receiver.datagrams.isEmpty(), 1000);
    QTest::qWait(20);
    for (const QByteArray &packet : receiver.datagrams) {
        decoder.decode(packet);
    }
    const int produced = decoder.samples().size() + device->pendingBytes() / 2;
    // Within the resampler's filter delay of one second at 48000 Hz.
    QVERIFY2(qAbs(produced - 48000) <= 256, qPrintable(QString::number(produced)));
}

void TestPipeDevice::notStreaming()
{
    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(48000, 1), false);
    QSignalSpy volume(device.get(), &PipeDevice::volumeChanged);

    writeInBlocks(*device, Signal::sine16(48000, 4800, {1000.0}, 9000), 960);
    QCOMPARE(volume.count(), 10);
    QCOMPARE(device->pendingBytes(), 0);
    QTest::qWait(60);
    QVERIFY(receiver.datagrams.isEmpty());

    // Stopping again after streaming keeps blocks out of the buffer as well.
    device->startStreaming();
    device->write(Signal::sine16(48000, 960, {1000.0}, 9000));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.datagrams.size(), 1, 1000);
    device->stopStreaming();
    device->write(Signal::sine16(48000, 960, {1000.0}, 9000));
    QCOMPARE(device->pendingBytes(), 0);
    QCOMPARE(volume.count(), 12);
}

void TestPipeDevice::gainScalesTheSound()
{
    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    QVector<double> energies;
    for (const qreal gain : {1.0, 0.5}) {
        receiver.datagrams.clear();
        auto device = makeDevice(socket, kLoopback, pcmFormat(48000, 1));
        device->setVolume(gain);
        writeInBlocks(*device, Signal::sine16(48000, 24000, {1000.0}, 12000), 1920);
        QTRY_VERIFY_WITH_TIMEOUT(device->pendingBytes() < 480, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(receiver.datagrams.size() >= 12, 1000);
        Signal::OpusStream decoder;
        for (const QByteArray &packet : receiver.datagrams) {
            decoder.decode(packet);
        }
        energies << Signal::toneEnergy(decoder.samples().mid(4800, 9600), 48000, 1000.0);
    }
    const double ratio = energies[1] / energies[0];
    QVERIFY2(ratio > 0.2 && ratio < 0.3, qPrintable(QString::number(ratio)));
}

void TestPipeDevice::volumeReportsThePeakOfTheKeptChannel()
{
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(44100, 2), false);
    device->setVolume(0.5);
    QSignalSpy volume(device.get(), &PipeDevice::volumeChanged);
    // First channel peaks at 20000, the second, dropped one at 30000.
    const qint16 frames[] = {20000, 30000, -12000, -30000, 5, 0};
    device->write(reinterpret_cast<const char *>(frames), sizeof frames);
    QCOMPARE(volume.count(), 1);
    QCOMPARE(volume.at(0).at(0).value<quint16>(), quint16(10000));
}

void TestPipeDevice::unsupportedFormatSendsNothing()
{
    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    QAudioFormat format = pcmFormat(48000, 1);
    format.setSampleSize(24);
    CapturedStdout output;
    auto device = makeDevice(socket, kLoopback, format);
    QSignalSpy volume(device.get(), &PipeDevice::volumeChanged);
    for (int i = 0; i < 5; ++i) {
        device->write(QByteArray(2880, '\x40'));
    }
    QCOMPARE(volume.count(), 5);
    QCOMPARE(device->pendingBytes(), 0);
    QTest::qWait(60);
    QVERIFY(receiver.datagrams.isEmpty());
    QCOMPARE(output.lines().filter(QStringLiteral("unsupported capture format")).size(), 1);
}

void TestPipeDevice::encoderMissingSendsNothing()
{
    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    CapturedStdout output;
    // Opus has no 44100 Hz mode, so no encoder can be made for it.
    PipeDevice device(nullptr, 44100);
    QVERIFY(!device.hasEncoder());
    device.setReceiverIp(kLoopback);
    device.setUdpSocket(&socket);
    device.open(QIODevice::WriteOnly);
    device.startStreaming();
    device.setOutputSampleRate(48000);
    QSignalSpy volume(&device, &PipeDevice::volumeChanged);
    QCOMPARE(device.write(QByteArray(3840, '\x10')), qint64(3840));
    QCOMPARE(volume.count(), 1);
    QTest::qWait(60);
    QVERIFY(receiver.datagrams.isEmpty());
    QCOMPARE(output.lines().filter(QStringLiteral("opus encoder not created")).size(), 1);
}

void TestPipeDevice::transportLogLine()
{
    QUdpSocket socket;
    CapturedStdout output;
    PipeDevice device;
    device.setReceiverIp(kLoopback);
    device.setUdpSocket(&socket);
    QCOMPARE(socket.socketOption(QAbstractSocket::TypeOfServiceOption).toInt(), 184);
    const QStringList lines = output.lines().filter(QStringLiteral(", setUdpSocket"));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        lines.first().endsWith(QStringLiteral(
            ", setUdpSocket, socket option: 184, state: 3, receiver ip: 127.0.0.1, port: 10493")),
        qPrintable(lines.first()));
}

void TestPipeDevice::datagramsFollowTheCurrentReceiver()
{
    Receiver first(QStringLiteral("127.0.0.1"));
    Receiver second(QStringLiteral("127.0.0.2"));
    QVERIFY(first.bound && second.bound);
    QUdpSocket socket; // shared, as every start shares the controller's socket
    auto earlier = makeDevice(socket, QStringLiteral("127.0.0.1"), pcmFormat(48000, 1));
    earlier->write(QByteArray(1920, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(first.datagrams.size(), 1, 1000);

    auto later = makeDevice(socket, QStringLiteral("127.0.0.2"), pcmFormat(48000, 1));
    later->write(QByteArray(1920, '\0'));
    later->write(QByteArray(1920, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(second.datagrams.size(), 2, 1000);
    // The earlier device still reaches its own receiver on the same socket.
    earlier->write(QByteArray(1920, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(first.datagrams.size(), 2, 1000);
    QTest::qWait(40);
    QCOMPARE(second.datagrams.size(), 2);
}

void TestPipeDevice::webSocketUrlAndClosing()
{
    QWebSocketServer server(QStringLiteral("receiver"), QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress(kLoopback), 14213));
    Receiver receiver(kLoopback);
    QVERIFY(receiver.bound);
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(48000, 1));
    QSignalSpy gone(device.get(), &PipeDevice::webSocketDisconnected);

    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 3000);
    std::unique_ptr<QWebSocket> peer(server.nextPendingConnection());
    const QUrl url = peer->requestUrl();
    QCOMPARE(url.scheme(), QStringLiteral("ws"));
    QCOMPARE(url.host(), kLoopback);
    QCOMPARE(url.port(), 14213);

    peer->close();
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 3000);
    QTest::qWait(50);
    QCOMPARE(gone.count(), 1);

    // The audio does not depend on the WebSocket.
    device->write(QByteArray(1920, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.datagrams.size(), 1, 1000);
}

void TestPipeDevice::webSocketRefused()
{
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(48000, 1));
    QSignalSpy gone(device.get(), &PipeDevice::webSocketDisconnected);
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 3000);
    QTest::qWait(50);
    QCOMPARE(gone.count(), 1);
}

void TestPipeDevice::stopStreamingKeepsWebSocket()
{
    QWebSocketServer server(QStringLiteral("receiver"), QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress(kLoopback), 14213));
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(48000, 1));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 3000);
    std::unique_ptr<QWebSocket> peer(server.nextPendingConnection());
    QSignalSpy peerGone(peer.get(), &QWebSocket::disconnected);
    QSignalSpy gone(device.get(), &PipeDevice::webSocketDisconnected);

    device->stopStreaming();
    QTest::qWait(50);
    QCOMPARE(peerGone.count(), 0);

    device.reset();
    QTRY_COMPARE_WITH_TIMEOUT(peerGone.count(), 1, 3000);
    QCOMPARE(gone.count(), 0);
}

void TestPipeDevice::oversizedWebSocketMessage_data()
{
    QTest::addColumn<int>("frameBytes");
    QTest::addColumn<int>("messageBytes");
    QTest::addRow("one large frame") << (1 << 20) << (1 << 20);
    QTest::addRow("a long message in small frames") << 1024 << (1 << 16);
}

void TestPipeDevice::oversizedWebSocketMessage()
{
    QFETCH(int, frameBytes);
    QFETCH(int, messageBytes);
    QWebSocketServer server(QString(), QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress(kLoopback), 14213));
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, pcmFormat(48000, 1));
    QSignalSpy gone(device.get(), &PipeDevice::webSocketDisconnected);
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 3000);
    std::unique_ptr<QWebSocket> peer(server.nextPendingConnection());
    peer->setOutgoingFrameSize(frameBytes);
    peer->sendBinaryMessage(QByteArray(messageBytes, 'x'));
    // Dropped rather than kept, and Start comes back once.
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 3000);
    QTest::qWait(50);
    QCOMPARE(gone.count(), 1);
}

void TestPipeDevice::receiverAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("urlHost"); // empty: refused
    QTest::addRow("IPv4") << " 192.168.1.20 " << QStringLiteral("192.168.1.20");
    QTest::addRow("IPv6 with a zone") << "fe80::1%eth0" << QStringLiteral("[fe80::1%25eth0]");
    QTest::addRow("broadcast") << "255.255.255.255" << QString();
    QTest::addRow("subnet broadcast") << "192.168.1.255" << QString();
    QTest::addRow("multicast") << "239.1.2.3" << QString();
    QTest::addRow("multicast in IPv6 form") << "::ffff:239.1.2.3" << QString();
    QTest::addRow("unspecified") << "0.0.0.0" << QString();
    QTest::addRow("IPv6 unspecified") << "::" << QString();
}

void TestPipeDevice::receiverAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, urlHost);
    const ReceiverAddress address(text, {QHostAddress(QStringLiteral("192.168.1.255"))});
    QCOMPARE(address.urlHost(), urlHost);
}

void TestPipeDevice::numericAddressesOnly_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("accepted");
    QTest::addRow("IPv6 loopback") << "::1" << true;
    QTest::addRow("host name") << "localhost" << false;
    QTest::addRow("empty") << "" << false;
    QTest::addRow("malformed") << "192.168.1." << false;
    QTest::addRow("words") << "my phone" << false;
}

void TestPipeDevice::numericAddressesOnly()
{
    QFETCH(QString, address);
    QFETCH(bool, accepted);
    Receiver earlierReceiver(kLoopback), receiver(QStringLiteral("::1"));
    QWebSocketServer server(QString(), QWebSocketServer::NonSecureMode);
    QVERIFY(earlierReceiver.bound && receiver.bound &&
            server.listen(QHostAddress::LocalHostIPv6, 14213));
    QUdpSocket socket;
    // The socket was connected to a receiver by an earlier start.
    auto earlier = makeDevice(socket, kLoopback, pcmFormat(48000, 1), false);
    CapturedStdout output;
    auto device = makeDevice(socket, address, pcmFormat(48000, 1));
    QSignalSpy gone(device.get(), &PipeDevice::webSocketDisconnected);
    device->write(QByteArray(1920, '\0'));
    // Datagrams and WebSocket reach the same receiver; a refused address opens neither, and
    // Start comes back as after a failed connection, once.
    QTRY_COMPARE_WITH_TIMEOUT(server.hasPendingConnections(), accepted, 3000);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.datagrams.size(), accepted ? 1 : 0, 1000);
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), accepted ? 0 : 1, 1000);
    QTest::qWait(60);
    QCOMPARE(gone.count(), accepted ? 0 : 1);
    QVERIFY(earlierReceiver.datagrams.isEmpty());
    QCOMPARE(socket.state() == QAbstractSocket::ConnectedState, accepted);
    QCOMPARE(output.lines().filter(QStringLiteral("no valid receiver ip")).size(),
             accepted ? 0 : 1);
}

QTEST_MAIN(TestPipeDevice)
#include "tst_pipedevice.moc"
