#include "AudioInput.h"
#include "PcmConversion.h"
#include "PipeDevice.h"
#include "ReceiverAddress.h"
#include "Signal.h"
#include "TestSupport.h"
#include "Tonravel.h"

#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

#include <opus.h>

#include <csignal>
#include <memory>

namespace
{
const QString kLoopback = QStringLiteral("127.0.0.1");
const QAudioFormat kMono = Pcm::signed16Format(48000, 1);

// Drives a device the way the capture controller does.
std::unique_ptr<PipeDevice> makeDevice(QUdpSocket &socket, const QString &address,
                                       const QAudioFormat &format = kMono, bool stream = true,
                                       int encoderRate = 48000)
{
    auto device = std::make_unique<PipeDevice>(nullptr, encoderRate);
    device->setReceiverIp(address);
    device->setUdpSocket(&socket);
    device->open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (stream) {
        device->startStreaming();
    }
    device->setOutputSampleRate(48000);
    device->setAudioFormat(format);
    device->createResampler();
    return device;
}

QAudioFormat format(int bits, QAudioFormat::SampleType type,
                    QAudioFormat::Endian order = QAudioFormat::LittleEndian)
{
    QAudioFormat f = kMono;
    f.setSampleSize(bits);
    f.setSampleType(type);
    f.setByteOrder(order);
    return f;
}
const QString kSink = "alsa_output.pci-0000_00_1f.3.analog-stereo";
const QVector<double> kTone{440.0};

// The tone's amplitude in the cleanest second of what was received, and that second's SNR.
double cleanAmplitude(const QList<QByteArray> &datagrams, double *snr)
{
    const QVector<float> decoded = Signal::decodeAll(datagrams);
    int first = 0;
    *snr = Signal::bestSecondSnrDb(decoded, kTone, &first);
    return Signal::toneAmplitude(decoded.mid(first, 48000), 440.0);
}
} // namespace

// The sender's audio path: the pipe device alone, then the window capturing a sound server's
// monitor source while the computer "plays" a 440 Hz tone.
class TestSender : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { QSettings().clear(); }
    void cleanupTestCase() { music.kill(), music.waitForFinished(); }
    void conversion_data();
    void conversion();
    void soundSurvives_data();
    void soundSurvives();
    void refusedAddresses_data();
    void refusedAddresses();
    void sendsNothing_data();
    void sendsNothing();
    void datagramsFollowTheCurrentReceiver();
    void webSocketFollowsTheReceiver_data();
    void webSocketFollowsTheReceiver();
    void endToEnd();
    void playedByThePlayer();

private:
    // A window set to stream the monitor to 127.0.0.1, and its Start button.
    QPushButton *startedWindow(std::unique_ptr<Tonravel> &window);

    SettingsSandbox sandbox;
    PulseServer pulse;
    bool playing = false;
    QProcess music;
    QTemporaryDir dir;
};

void TestSender::initTestCase()
{
    if (!pulse.start({{kSink}, {}, {}})) {
        return; // the tests that capture say so
    }
    // From a file: fed through a pipe, the sound would stop whenever this process stalls.
    QFile sound(dir.filePath("tones.raw"));
    QVERIFY(sound.open(QIODevice::WriteOnly));
    for (int i = 0; i < 120; ++i) {
        sound.write(Signal::sine16(48000, 48000, {440.0}, 9000));
    }
    sound.close();
    music.start("pacat", QString("--device=%1 --raw --format=s16le --rate=48000 --channels=1 "
                                 "--latency-msec=250 %2")
                             .arg(kSink, sound.fileName())
                             .split(' '));
    playing = music.waitForStarted(5000);
}

QPushButton *TestSender::startedWindow(std::unique_ptr<Tonravel> &window)
{
    window = std::make_unique<Tonravel>();
    window->findChild<QLineEdit *>()->setText("127.0.0.1");
    return window->findChild<QPushButton *>("startRecordstartDancepushButton");
}

void TestSender::conversion_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected"); // 16-bit little-endian; empty: not convertible
    const auto S = QAudioFormat::SignedInt;
    const auto F = QAudioFormat::Float;
    const auto BE = QAudioFormat::BigEndian;
    const auto row = [](const char *name, const QAudioFormat &f, const char *in, const char *out) {
        QTest::addRow("%s", name) << f << QByteArray::fromHex(in) << QByteArray::fromHex(out);
    };
    row("s16be", format(16, S, BE), "12348000ffff", "34120080ffff");
    row("u8", format(8, QAudioFormat::UnSignedInt), "0080ff", "00800000007f");
    row("f32le, clipped", format(32, F), "0000003f000080bf00000040", "00400080ff7f");
    row("f32be, partial sample dropped", format(32, F, BE), "3e80000001", "0020");
    row("24-bit", format(24, S), "5a5a5a5a5a5a", "");
}

void TestSender::conversion()
{
    QFETCH(QAudioFormat, format);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(Pcm::canConvert(format), !expected.isEmpty());
    QCOMPARE(Pcm::toSigned16(input.constData(), input.size(), format), expected);
}

void TestSender::soundSurvives_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<QVector<double>>("tones"); // one per channel
    QTest::addColumn<int>("blockMs");
    QTest::addColumn<double>("gain");
    QTest::addRow("48000 Hz mono") << 48000 << QVector<double>{1000.0} << 20 << 1.0;
    QTest::addRow("44100 Hz stereo, 250 ms blocks")
        << 44100 << QVector<double>{1000.0, 3000.0} << 250 << 1.0;
    QTest::addRow("96000 Hz, 200 ms blocks, gain 0.5")
        << 96000 << QVector<double>{1000.0} << 200 << 0.5;
    QTest::addRow("8000 Hz, 10 ms blocks") << 8000 << QVector<double>{1000.0} << 10 << 1.0;
    QTest::addRow("44100 Hz, 10 ms blocks, gain 0.2")
        << 44100 << QVector<double>{1000.0} << 10 << 0.2;
}

void TestSender::soundSurvives()
{
    QFETCH(int, rate);
    QFETCH(QVector<double>, tones);
    QFETCH(int, blockMs);
    QFETCH(double, gain);
    Receiver receiver;
    QUdpSocket socket;
    auto device = makeDevice(socket, kLoopback, Pcm::signed16Format(rate, tones.size()));
    device->setVolume(gain);
    // One second, of which nothing may be lost in resampling, however long the blocks.
    const QByteArray audio = Signal::sine16(rate, rate, tones, 12000);
    const int block = rate * blockMs / 1000 * tones.size() * 2;
    for (int offset = 0; offset < audio.size(); offset += block) {
        device->write(audio.mid(offset, block));
    }
    QTRY_VERIFY_WITH_TIMEOUT(device->pendingBytes() < 480, 5000);
    QTest::qWait(20);
    const QVector<float> decoded = Signal::decodeAll(receiver.datagrams);
    const int produced = decoded.size() + device->pendingBytes() / 2;
    QVERIFY2(qAbs(produced - 48000) <= 256, qPrintable(QString::number(produced)));
    // Past the codec's and the resampler's start-up, 0.8 s: whole periods of 1 kHz. A lost block,
    // a wrong rate or the wrong channel falls far below 12 dB.
    const QVector<float> window = decoded.mid(4800, 38400);
    const double snr = Signal::snrDb(window, {1000.0});
    QVERIFY2(snr > 12.0, qPrintable(QString::number(snr)));
    const double amplitude = Signal::toneAmplitude(window, 1000.0);
    QVERIFY2(qAbs(amplitude / (12000 * gain) - 1) < 0.2, qPrintable(QString::number(amplitude)));
    // The second channel's 3 kHz tone is dropped, not mixed in.
    QVERIFY(Signal::toneEnergy(window, 3000.0) < 1e-3 * Signal::totalEnergy(window));
}

void TestSender::refusedAddresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal"); // empty: a receiver
    // 10.1.2.255 is the broadcast address of one of this computer's subnets (see below).
    const auto row = [](const char *text, const char *refusal) {
        QTest::addRow("%s", text) << QString(text) << QString(refusal);
    };
    row("192.168.1.20", "");
    row("fd00::2", "");
    row("192.168.1.", "not a numeric IPv4 or IPv6 address");
    row("localhost", "not a numeric IPv4 or IPv6 address");
    row("255.255.255.255", "a broadcast address");
    row("10.1.2.255", "a broadcast address");
    row("::ffff:10.1.2.255", "a broadcast address");
    row("239.255.73.51", "a multicast address");
    row("ff02::1", "a multicast address");
    row("::ffff:239.1.2.3", "a multicast address");
    row("0.0.0.0", "the unspecified address");
    row("::", "the unspecified address");
    row("::ffff:0.0.0.0", "the unspecified address");
}

void TestSender::refusedAddresses()
{
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    if (text.contains("10.1.2.")) {
        // A subnet of this computer's own, made where only loopback is: in the test's own
        // network namespace.
        static const bool subnet =
            QNetworkInterface::allInterfaces().size() == 1 &&
            QProcess::execute("sh", {"-c", "ip link add plovd0 type veth peer name plovd1 && "
                                           "ip addr add 10.1.2.1/24 brd + dev plovd0"}) == 0;
        REQUIRE(subnet, "root in a network namespace of the test's own, for a subnet");
    }
    const ReceiverAddress address(text);
    QCOMPARE(address.whyRefused(), refusal);
    QCOMPARE(address.address().isNull(), !refusal.isEmpty());
}

void TestSender::sendsNothing_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<int>("encoderRate");
    QTest::addColumn<QString>("logged"); // once; empty: nothing to report
    const QString refused = QStringLiteral("no valid receiver ip");
    QTest::addRow("not streaming") << kLoopback << kMono << 48000 << QString();
    QTest::addRow("empty address") << "" << kMono << 48000 << refused;
    QTest::addRow("host name") << "localhost" << kMono << 48000 << refused;
    QTest::addRow("24-bit capture") << kLoopback << format(24, QAudioFormat::SignedInt) << 48000
                                    << "unsupported capture format";
    // Opus has no 44100 Hz mode, so no encoder can be made for it.
    QTest::addRow("no encoder") << kLoopback << kMono << 44100 << "opus encoder not created";
}

void TestSender::sendsNothing()
{
    QFETCH(QString, address);
    QFETCH(QAudioFormat, format);
    QFETCH(int, encoderRate);
    QFETCH(QString, logged);
    Receiver receiver;
    QUdpSocket socket;
    // The socket was connected to a receiver by an earlier start.
    auto earlier = makeDevice(socket, kLoopback, kMono, false);
    CapturedStdout output;
    auto device = makeDevice(socket, address, format, !logged.isEmpty(), encoderRate);
    QSignalSpy gone(device.get(), &PipeDevice::webSocketDisconnected);
    for (int i = 0; i < 5; ++i) {
        device->write(QByteArray(2880, '\x10'));
    }
    QTest::qWait(60);
    QVERIFY(receiver.datagrams.isEmpty());
    // A refused address opens no connection, and Start comes back as after a failed one.
    const bool refused = logged.startsWith("no valid");
    QCOMPARE(receiver.peers.size(), size_t(refused || logged.isEmpty() ? 0 : 1));
    QCOMPARE(gone.count(), refused ? 1 : 0);
    QCOMPARE(output.lines().filter(logged.isEmpty() ? "no valid" : logged).size(),
             logged.isEmpty() ? 0 : 1);
}

void TestSender::datagramsFollowTheCurrentReceiver()
{
    Receiver first(kLoopback);
    Receiver second(QStringLiteral("127.0.0.2"));
    QUdpSocket socket; // shared, as every start shares the controller's socket
    auto earlier = makeDevice(socket, kLoopback);
    earlier->write(QByteArray(1920, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(first.datagrams.size(), 1, 1000);
    auto later = makeDevice(socket, QStringLiteral("127.0.0.2"));
    // Where a connected socket ignores the address of a send (Windows), its peer decides.
    QCOMPARE(socket.peerAddress(), QHostAddress("127.0.0.2"));
    later->write(QByteArray(3840, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(second.datagrams.size(), 2, 1000);
    // The earlier device still reaches its own receiver on the same socket.
    earlier->write(QByteArray(1920, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(first.datagrams.size(), 2, 1000);
    QTest::qWait(40);
    QCOMPARE(second.datagrams.size(), 2);
}

void TestSender::webSocketFollowsTheReceiver_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("frameBytes"); // of what the receiver sends
    QTest::addRow("IPv4, one frame") << kLoopback << 65536;
    QTest::addRow("IPv6, small frames") << "::1" << 1024;
}

void TestSender::webSocketFollowsTheReceiver()
{
    QFETCH(QString, address);
    QFETCH(int, frameBytes);
    QUdpSocket socket;
    {
        // Nobody listens: the refused connection is reported once.
        auto device = makeDevice(socket, address);
        QSignalSpy gone(device.get(), &PipeDevice::webSocketDisconnected);
        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 3000);
    }
    Receiver receiver(address);
    auto device = makeDevice(socket, address);
    QSignalSpy gone(device.get(), &PipeDevice::webSocketDisconnected);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.peers.size(), size_t(1), 3000);
    const QUrl url = receiver.peers.front()->requestUrl();
    QCOMPARE(QHostAddress(url.host()), QHostAddress(address));
    QCOMPARE(url.port(), 14213);
    // A receiver that says more than a receiver ever does (4 KiB) is dropped, once, as one that
    // closes; the datagrams go on. The answer to a ping shows the device has read all before it.
    QWebSocket *peer = receiver.peers.front().get();
    QSignalSpy pong(peer, &QWebSocket::pong);
    peer->setOutgoingFrameSize(frameBytes);
    peer->sendBinaryMessage(QByteArray(4096, 'x'));
    peer->ping();
    QTRY_COMPARE_WITH_TIMEOUT(pong.count(), 1, 3000);
    QCOMPARE(gone.count(), 0);
    peer->sendBinaryMessage(QByteArray(4097, 'x'));
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 3000);
    device->write(QByteArray(1920, '\0'));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.datagrams.size(), 1, 1000);
    QCOMPARE(gone.count(), 1);
}

void TestSender::endToEnd()
{
    REQUIRE(playing, "a PulseAudio server to capture from: " + pulse.errorString());
    Receiver receiver;
    std::unique_ptr<Tonravel> window;
    QPushButton *start = startedWindow(window);
    AudioInput *controller = AudioInput::instance();
    // First press: the widgets' values (the address as typed) are handed over; the tone arrives.
    window->findChild<QLineEdit *>()->setText(" 127.0.0.1 ");
    window->findChild<QSlider *>()->setValue(80);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!start->isEnabled());
    QCOMPARE(controller->currentVolume(), 0.8);
    QCOMPARE(controller->currentReceiverIp(), QString(" 127.0.0.1 "));
    QCOMPARE(controller->currentDevice().deviceName(), kSink + ".monitor");
    QTRY_VERIFY_WITH_TIMEOUT(Signal::decodeAll(receiver.datagrams).size() >= 60000, 10000);
    double snr = 0;
    const double full = cleanAmplitude(receiver.datagrams, &snr);
    QVERIFY2(snr > 15.0, qPrintable(QString::number(snr)));
    // The receiver closes its WebSocket: Start comes back.
    receiver.closeAll();
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 3000);
    // Second press: one stream only, in single 20 ms frames from the sound server's small pieces.
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!receiver.datagrams.isEmpty(), 8000);
    receiver.datagrams.clear();
    QElapsedTimer elapsed;
    elapsed.start();
    QTest::qWait(1500);
    const double ratio = Signal::decodeAll(receiver.datagrams).size() / 48.0 / elapsed.elapsed();
    QVERIFY2(ratio > 0.7 && ratio < 1.3, qPrintable(QString::number(ratio)));
    int whole = 0;
    for (const QByteArray &packet : qAsConst(receiver.datagrams)) {
        const auto *data = reinterpret_cast<const unsigned char *>(packet.constData());
        whole += opus_packet_get_nb_frames(data, packet.size()) == 1 &&
                 opus_packet_get_nb_samples(data, packet.size(), 48000) == 960;
    }
    QVERIFY2(whole >= 0.9 * receiver.datagrams.size(),
             qPrintable(QString("%1 of %2").arg(whole).arg(receiver.datagrams.size())));
    // The slider, moved while streaming, reaches the stream: 40 is half of 80.
    window->findChild<QSlider *>()->setValue(40);
    QCOMPARE(controller->currentVolume(), 0.4);
    QTest::qWait(200);
    receiver.datagrams.clear();
    QTRY_VERIFY_WITH_TIMEOUT(Signal::decodeAll(receiver.datagrams).size() >= 60000, 5000);
    const double half = cleanAmplitude(receiver.datagrams, &snr);
    qInfo("second press: %.2f ms of audio per ms; SNR %.1f dB; at 40: amplitude %.0f of %.0f",
          ratio, snr, half, full);
    QVERIFY2(snr > 15.0, qPrintable(QString::number(snr)));
    QVERIFY2(half / full > 0.4 && half / full < 0.6, qPrintable(QString::number(half / full)));
}

void TestSender::playedByThePlayer()
{
    REQUIRE(playing, "a PulseAudio server to capture from: " + pulse.errorString());
    // The whole product: the player program writes what it plays; Ctrl+C there brings Start back.
    PlayerProcess player({"--no-playback", "--no-announce", "--wav", dir.filePath("heard.wav")});
    QVERIFY(player.waitFor("receiving on"));
    std::unique_ptr<Tonravel> window;
    QPushButton *start = startedWindow(window);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(player.waitFor("playing 127.0.0.1"));
    QTest::qWait(3000);
    ::kill(pid_t(player.process.processId()), SIGINT);
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 2000);
    QCOMPARE(player.finish(), 0);
    const QVector<float> heard = Signal::wavSamples(dir.filePath("heard.wav"));
    QVERIFY(!heard.isEmpty());
    // The tone, not noise or another pitch (those are far below 0 dB); a busy machine may still
    // glitch within every second.
    const double snr = Signal::bestSecondSnrDb(heard, kTone);
    QVERIFY2(snr > 10.0, qPrintable(QString::number(snr)));
}

QTEST_MAIN(TestSender)
#include "tst_sender.moc"
