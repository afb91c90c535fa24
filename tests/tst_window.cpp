#include "ServicePublisher.h"
#include "StartUp.h"
#include "TestSupport.h"
#include "Tonravel.h"
#include "WebRelay.h"
#include "WebServer.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QtTest>

#include <memory>

namespace
{
const QString kMonitor = "alsa_output.pci-0000_00_1f.3.analog-stereo.monitor";
const QString kMicrophone = "input.usb_microphone";

template <typename T> T *child(Tonravel &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}
} // namespace

// The window against a sound server with a monitor source and a microphone, the microphone
// being its default (so listed first).
class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void language();
    void restoresSettings_data();
    void restoresSettings();
    void quitStoresSettings_data();
    void quitStoresSettings();
    void offeredSources_data();
    void offeredSources();
    void statusAndPhoneDialog();

private:
    SettingsSandbox sandbox;
    PulseServer pulse;
    std::unique_ptr<QTranslator> translator;
};

void TestWindow::initTestCase()
{
    REQUIRE_PULSE(pulse, {{kMonitor.chopped(8)}, {kMicrophone}, kMicrophone});
}

void TestWindow::cleanup()
{
    if (translator) {
        QCoreApplication::removeTranslator(translator.get());
        translator.reset();
    }
    QSettings().clear();
}

void TestWindow::language()
{
    translator = std::make_unique<QTranslator>();
    QVERIFY(StartUp::installTranslation(*qApp, *translator, {"zh-CN", "zh"}));
    Tonravel window;
    QCOMPARE(window.windowTitle(), "普洛瓦林");
    QCOMPARE(child<QTabWidget>(window, "FunctabWidget_2")->tabText(1), "日志");
    QVERIFY(child<QLabel>(window, "receiverStatuslabel")->text().startsWith("尚未找到接收者"));
    // The accelerator of "Sta&rt" works in the translation too.
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QSignalSpy clicked(child<QPushButton>(window, "startRecordstartDancepushButton"),
                       &QPushButton::clicked);
    QTest::keyClick(&window, Qt::Key_R, Qt::AltModifier);
    QTRY_COMPARE_WITH_TIMEOUT(clicked.count(), 1, 2000);
}

void TestWindow::restoresSettings_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("volume");
    QTest::addRow("first run") << QVariantMap{} << kMonitor << "" << 100;
    QTest::addRow("stored") << QVariantMap{{"audioInputDevice", kMicrophone},
                                           {"receiverIp", "127.0.0.3"},
                                           {"inputVolume", 40}}
                            << kMicrophone << "127.0.0.3" << 40;
    QTest::addRow("stored source not listed")
        << QVariantMap{{"audioInputDevice", "Stereo Mix (gone)"}} << kMicrophone << "" << 100;
    QTest::addRow("empty stored source")
        << QVariantMap{{"audioInputDevice", ""}} << kMonitor << "" << 100;
    QTest::addRow("volume 150") << QVariantMap{{"inputVolume", 150}} << kMonitor << "" << 100;
    QTest::addRow("volume -5") << QVariantMap{{"inputVolume", -5}} << kMonitor << "" << 0;
    QTest::addRow("volume not a number")
        << QVariantMap{{"inputVolume", "loud"}} << kMonitor << "" << 0;
    QTest::addRow("address kept as typed")
        << QVariantMap{{"receiverIp", " not an address "}} << kMonitor << " not an address " << 100;
}

void TestWindow::restoresSettings()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, source);
    QFETCH(QString, address);
    QFETCH(int, volume);
    QSettings settings;
    for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
        settings.setValue("Wendrel/" + it.key(), it.value());
    }
    settings.sync();
    Tonravel window;
    auto *box = child<QComboBox>(window, "soundSourcecomboBox");
    QCOMPARE(box->currentText(), source);
    QCOMPARE(child<QLineEdit>(window, "receiverIplineEdit")->text(), address);
    QCOMPARE(child<QSlider>(window, "inputVolumehorizontalSlider")->value(), volume);
    QCOMPARE(child<QLabel>(window, "inputVolumelabel_4")->text(), QString::number(volume));
    // Every source of the sound server, in its order; the Log tab shows the chosen one's rates.
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->itemText(0), kMicrophone);
    const QString log = child<QPlainTextEdit>(window, "logplainTextEdit")->toPlainText();
    QVERIFY2(log.split('\n').contains("48000Hz") && log.split('\n').contains("8000Hz"),
             qPrintable(log));
    QTest::mouseClick(child<QPushButton>(window, "clearpushButton"), Qt::LeftButton);
    QVERIFY(child<QLineEdit>(window, "receiverIplineEdit")->text().isEmpty());
}

void TestWindow::quitStoresSettings_data()
{
    QTest::addColumn<QString>("how");
    QTest::addRow("menu action") << "menu";
    QTest::addRow("Ctrl+Q") << "shortcut";
    QTest::addRow("closing the window") << "close";
}

void TestWindow::quitStoresSettings()
{
    QFETCH(QString, how);
    auto window = std::make_unique<Tonravel>();
    Tonravel *tonravel = window.get();
    child<QComboBox>(*tonravel, "soundSourcecomboBox")->setCurrentText(kMicrophone);
    child<QLineEdit>(*tonravel, "receiverIplineEdit")->setText("127.0.0.9");
    child<QSlider>(*tonravel, "inputVolumehorizontalSlider")->setValue(42);
    window->show();
    QApplication::setActiveWindow(tonravel);
    QVERIFY(QTest::qWaitForWindowActive(tonravel));
    QTimer::singleShot(0, tonravel, [&] {
        if (how == "menu") {
            child<QAction>(*tonravel, "action_Quit")->trigger();
        } else if (how == "shortcut") {
            QTest::keyClick(tonravel, Qt::Key_Q, Qt::ControlModifier);
        } else {
            tonravel->close();
        }
    });
    // A quit that never comes ends the loop with another code.
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    window.reset();
    QSettings settings;
    QVERIFY(settings.fileName().startsWith(sandbox.dir.path() + "/Morvenhal/Tonravel"));
    QCOMPARE(settings.allKeys(), QStringList({"Wendrel/audioInputDevice", "Wendrel/inputVolume",
                                              "Wendrel/receiverIp"}));
    QCOMPARE(settings.value("Wendrel/audioInputDevice").toString(), kMicrophone);
    QCOMPARE(settings.value("Wendrel/receiverIp").toString(), QString("127.0.0.9"));
    QCOMPARE(settings.value("Wendrel/inputVolume").toInt(), 42);
}

void TestWindow::offeredSources_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("realms");
    QTest::addColumn<QList<int>>("offered");
    QTest::addRow("sound server beside ALSA plugins")
        << QStringList{"upmix", "vdownmix", "speaker.monitor", "pulse"}
        << QStringList{"alsa", "alsa", "default", "alsa"} << QList<int>{2};
    QTest::addRow("ALSA alone") << QStringList{"", "upmix", "default"}
                                << QStringList{"default", "alsa", "alsa"} << QList<int>{1, 2};
}

void TestWindow::offeredSources()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, realms);
    QFETCH(QList<int>, offered);
    QCOMPARE(Tonravel::offeredSourceIndexes(names, realms), offered);
}

void TestWindow::statusAndPhoneDialog()
{
    // A receiver on a loopback address of its own, announcing itself and serving the page.
    const QString address = "127.0.0.77";
    Receiver receiver(address);
    player::WebRelay relay;
    player::WebServer page(relay);
    QVERIFY(page.listen(QHostAddress(address), Tonravel::kPagePort));
    Tonravel window;
    auto *status = child<QLabel>(window, "receiverStatuslabel");
    auto *phone = child<QPushButton>(window, "phonepushButton");
    QVERIFY(status->text().startsWith("No receiver found yet"));
    QVERIFY(phone->isHidden());
    QUdpSocket announcer;
    QVERIFY(announcer.bind(QHostAddress(address)));
    announcer.writeDatagram(halvern::encodeAnnouncement({"com.morvenhal.plovarin.player", 14213}),
                            QHostAddress::LocalHost, ServicePublisher::defaultOptions().port);
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), "Receiver found at 127.0.0.77", 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!phone->isHidden(), 5000);
    QTest::mouseClick(child<QPushButton>(window, "startRecordstartDancepushButton"),
                      Qt::LeftButton);
    QCOMPARE(status->text(), "Streaming to 127.0.0.77");
    QVERIFY(!phone->isHidden()); // the same receiver's page: not asked for again, no blink
    // The dialog's QR code, as a phone's camera would read it off the screen.
    QTest::mouseClick(phone, Qt::LeftButton);
    const QString png = sandbox.dir.filePath("qr.png");
    QVERIFY(child<QLabel>(window, "qrCodelabel")->grab().save(png));
    QTRY_COMPARE_WITH_TIMEOUT(int(receiver.peers.size()), 1, 5000);
    receiver.closeAll();
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), "The receiver at 127.0.0.77 has gone", 5000);
    QVERIFY(phone->isHidden());
    REQUIRE(!QStandardPaths::findExecutable("zbarimg").isEmpty(), "zbarimg (Debian's zbar-tools)");
    QProcess zbar;
    zbar.start("zbarimg", {"--raw", "-q", png});
    QVERIFY(zbar.waitForFinished(10000));
    QCOMPARE(zbar.readAllStandardOutput().trimmed(), "http://127.0.0.77:14214/");
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
