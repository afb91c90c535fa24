#include "AudioInput.h"
#include "PipeDevice.h"
#include "Signal.h"
#include "TestSupport.h"
#include "Tonravel.h"

#include <QAudioInput>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QtTest>

#include <opus.h>

#include <csignal>
#include <memory>

namespace
{
const QString kSink = QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo");
const QString kMonitor = kSink + QStringLiteral(".monitor");
const QVector<double> kTones{440.0, 660.0};

// The amplitude of the 440 Hz tone in the cleanest second of what was received, and that
// second's SNR of the two tones.
double cleanAmplitude(const QList<QByteArray> &datagrams, double *snr)
{
    const QVector<float> decoded = Signal::decodeAll(datagrams);
    int first = 0;
    *snr = Signal::bestSecondSnrDb(decoded, kTones, &first);
    return Signal::toneAmplitude(decoded.mid(first, 48000), 440.0);
}
} // namespace

// Capture from a sound server's monitor source while the computer "plays" 440 and 660 Hz.
class TestCapture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init() { sandbox.reset(); }
    void startHandsOverTheWidgets();
    void endToEnd();
    void playedByThePlayer();

private:
    Tonravel *startedWindow(std::unique_ptr<Tonravel> &window);

    SettingsSandbox sandbox;
    PulseServer pulse;
    QProcess tones;
    QTemporaryDir dir;
};

void TestCapture::initTestCase()
{
    REQUIRE_PULSE(pulse, {{kSink}, {}, {}});
    // From a file: fed through a pipe, the sound would stop whenever this process stalls.
    QByteArray mixed = Signal::sine16(48000, 48000, {440.0, 660.0}, 6000);
    auto *samples = reinterpret_cast<qint16 *>(mixed.data());
    for (int i = 0; i < mixed.size() / 2; i += 2) {
        samples[i] = samples[i + 1] = qint16(samples[i] + samples[i + 1]);
    }
    QFile sound(dir.filePath(QStringLiteral("tones.raw")));
    QVERIFY(sound.open(QIODevice::WriteOnly));
    for (int i = 0; i < 120; ++i) {
        sound.write(mixed);
    }
    sound.close();
    tones.start(
        QStringLiteral("pacat"),
        {QStringLiteral("--server=") + pulse.serverAddress(), QStringLiteral("--device=") + kSink,
         QStringLiteral("--raw"), QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
         QStringLiteral("--channels=2"), QStringLiteral("--latency-msec=250"), sound.fileName()});
    QVERIFY(tones.waitForStarted(5000));
}

void TestCapture::cleanupTestCase()
{
    tones.kill();
    tones.waitForFinished(2000);
}

// A window set to stream the monitor to 127.0.0.1.
Tonravel *TestCapture::startedWindow(std::unique_ptr<Tonravel> &window)
{
    window = std::make_unique<Tonravel>();
    window->findChild<QLineEdit *>(QStringLiteral("receiverIplineEdit"))->setText("127.0.0.1");
    return window.get();
}

void TestCapture::startHandsOverTheWidgets()
{
    Receiver receiver;
    std::unique_ptr<Tonravel> window;
    startedWindow(window);
    auto *slider = window->findChild<QSlider *>(QStringLiteral("inputVolumehorizontalSlider"));
    auto *start =
        window->findChild<QPushButton *>(QStringLiteral("startRecordstartDancepushButton"));
    AudioInput *controller = AudioInput::instance();
    slider->setValue(37);
    window->findChild<QLineEdit *>()->setText(QStringLiteral(" 127.0.0.1 "));
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!start->isEnabled());
    QCOMPARE(controller->currentVolume(), 0.37);
    QCOMPARE(controller->currentReceiverIp(), QStringLiteral(" 127.0.0.1 "));
    QCOMPARE(controller->currentDevice().deviceName(), kMonitor);
    // Moving the slider reaches the running stream at once.
    slider->setValue(80);
    QCOMPARE(controller->currentVolume(), 0.8);
    // An empty box hands over a null device; Start stays off until the receiver goes.
    emit controller->webSocketDisconnected();
    QVERIFY(start->isEnabled());
    window->findChild<QComboBox *>()->setCurrentIndex(-1);
    window->findChild<QLineEdit *>()->setText(QStringLiteral("127.0.0.1"));
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(controller->currentDevice().isNull());
    QVERIFY(!start->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!receiver.peers.empty(), 3000);
    receiver.closeAll();
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 3000);
}

void TestCapture::endToEnd()
{
    Receiver receiver;
    std::unique_ptr<Tonravel> window;
    startedWindow(window);
    auto *start =
        window->findChild<QPushButton *>(QStringLiteral("startRecordstartDancepushButton"));
    // First press: the played tones arrive.
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(Signal::decodeAll(receiver.datagrams).size() >= 60000, 10000);
    double snr = 0;
    const double full = cleanAmplitude(receiver.datagrams, &snr);
    qInfo("first press: %d datagrams, SNR of the two tones %.1f dB", receiver.datagrams.size(),
          snr);
    QVERIFY2(snr > 15.0, qPrintable(QString::number(snr)));
    // The receiver closes its WebSocket: Start comes back.
    receiver.closeAll();
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 3000);

    // Second press: one stream only, as much audio as time passes, still clean.
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!receiver.datagrams.isEmpty(), 8000);
    receiver.datagrams.clear();
    QElapsedTimer elapsed;
    elapsed.start();
    QTest::qWait(1500);
    const double ratio = Signal::decodeAll(receiver.datagrams).size() / 48.0 / elapsed.elapsed();
    QVERIFY2(ratio > 0.7 && ratio < 1.3, qPrintable(QString::number(ratio)));
    // The sound server hands the audio over in pieces of a few ms; it leaves in single 20 ms
    // frames.
    int whole = 0;
    for (const QByteArray &packet : qAsConst(receiver.datagrams)) {
        const auto *data = reinterpret_cast<const unsigned char *>(packet.constData());
        whole += opus_packet_get_nb_frames(data, packet.size()) == 1 &&
                 opus_packet_get_nb_samples(data, packet.size(), 48000) == 960;
    }
    QVERIFY2(whole >= 0.9 * receiver.datagrams.size(),
             qPrintable(QStringLiteral("%1 of %2").arg(whole).arg(receiver.datagrams.size())));
    // The slider at 50 halves the amplitude.
    window->findChild<QSlider *>()->setValue(50);
    QTest::qWait(200);
    receiver.datagrams.clear();
    QTRY_VERIFY_WITH_TIMEOUT(Signal::decodeAll(receiver.datagrams).size() >= 60000, 5000);
    const double half = cleanAmplitude(receiver.datagrams, &snr);
    qInfo("second press: %.2f ms of audio per ms; SNR %.1f dB; at 50: amplitude %.0f of %.0f",
          ratio, snr, half, full);
    QVERIFY2(snr > 15.0, qPrintable(QString::number(snr)));
    QVERIFY2(half / full > 0.4 && half / full < 0.6, qPrintable(QString::number(half / full)));
}

void TestCapture::playedByThePlayer()
{
    // The whole product: Start in the window, the player program writes what it plays to a
    // WAV file, and Ctrl+C there brings Start back.
    const QString wav = dir.filePath(QStringLiteral("heard.wav"));
    PlayerProcess player({"--no-playback", "--no-announce", "--wav", wav});
    QVERIFY(player.waitFor(QStringLiteral("receiving on")));
    std::unique_ptr<Tonravel> window;
    startedWindow(window);
    auto *start =
        window->findChild<QPushButton *>(QStringLiteral("startRecordstartDancepushButton"));
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(player.waitFor(QStringLiteral("playing 127.0.0.1")));
    QTest::qWait(2000);
    ::kill(pid_t(player.process.processId()), SIGINT);
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 2000);
    QCOMPARE(player.finish(), 0);
    QString problem;
    const QVector<float> heard = Signal::wavSamples(wav, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const double snr = Signal::bestSecondSnrDb(heard, kTones);
    qInfo("the player wrote %.2f s, SNR of the two tones %.1f dB", heard.size() / 48000.0, snr);
    QVERIFY2(snr > 15.0, qPrintable(QString::number(snr)));
}

QTEST_MAIN(TestCapture)
#include "tst_capture.moc"
