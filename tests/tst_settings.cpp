#include "TestSupport.h"
#include "Tonravel.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QSlider>
#include <QtTest>

namespace
{
const QString kMicrophone = QStringLiteral("input.usb_microphone");
const QString kMonitor = QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo.monitor");
const QString kGroup = QStringLiteral("Wendrel");
} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void restore_data();
    void restore();
    void storeAndRestoreAgain();

private:
    SettingsSandbox sandbox;
    PulseServer pulse;
};

void TestSettings::initTestCase()
{
    QString problem;
    if (!usePulseAudioBackendOnly(&problem)) {
        QSKIP(qPrintable(QStringLiteral("SKIPPED, no audio backend: ") + problem));
    }
    // The microphone is listed first, so the first listed source and the automatic choice differ.
    if (!pulse.start({{QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo")},
                      {kMicrophone},
                      kMicrophone})) {
        QSKIP(qPrintable(QStringLiteral("SKIPPED, no PulseAudio server: ") + pulse.errorString()));
    }
}

void TestSettings::cleanup()
{
    sandbox.reset();
}

void TestSettings::restore_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("volume");

    QTest::addRow("first run") << QVariantMap{} << kMonitor << "" << 100;
    QTest::addRow("stored source") << QVariantMap{{"audioInputDevice", kMicrophone},
                                                  {"receiverIp", "127.0.0.3"},
                                                  {"inputVolume", 70}}
                                   << kMicrophone << "127.0.0.3" << 70;
    QTest::addRow("stored source not listed")
        << QVariantMap{{"audioInputDevice", "Stereo Mix (gone)"}} << kMicrophone << "" << 100;
    QTest::addRow("empty stored source")
        << QVariantMap{{"audioInputDevice", ""}} << kMonitor << "" << 100;
    QTest::addRow("volume 40") << QVariantMap{{"inputVolume", 40}} << kMonitor << "" << 40;
    QTest::addRow("volume 150") << QVariantMap{{"inputVolume", 150}} << kMonitor << "" << 100;
    QTest::addRow("volume -5") << QVariantMap{{"inputVolume", -5}} << kMonitor << "" << 0;
    QTest::addRow("volume not a number")
        << QVariantMap{{"inputVolume", "loud"}} << kMonitor << "" << 0;
    QTest::addRow("address kept as typed")
        << QVariantMap{{"receiverIp", " not an address "}} << kMonitor << " not an address " << 100;
}

void TestSettings::restore()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, source);
    QFETCH(QString, address);
    QFETCH(int, volume);

    {
        QSettings settings;
        settings.beginGroup(kGroup);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            settings.setValue(it.key(), it.value());
        }
    }

    Tonravel window;
    QCOMPARE(window.findChild<QComboBox *>(QStringLiteral("soundSourcecomboBox"))->currentText(),
             source);
    QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("receiverIplineEdit"))->text(), address);
    QCOMPARE(window.findChild<QSlider *>(QStringLiteral("inputVolumehorizontalSlider"))->value(),
             volume);
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("inputVolumelabel_4"))->text(),
             QString::number(volume));
}

void TestSettings::storeAndRestoreAgain()
{
    {
        Tonravel window;
        window.findChild<QComboBox *>(QStringLiteral("soundSourcecomboBox"))
            ->setCurrentText(kMicrophone);
        window.findChild<QLineEdit *>(QStringLiteral("receiverIplineEdit"))
            ->setText(QStringLiteral("127.0.0.12"));
        window.findChild<QSlider *>(QStringLiteral("inputVolumehorizontalSlider"))->setValue(5);
    }
    {
        QSettings settings;
        QCOMPARE(settings.childGroups(), QStringList{kGroup});
        settings.beginGroup(kGroup);
        QStringList keys = settings.childKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList{"audioInputDevice", "inputVolume", "receiverIp"}));
    }
    Tonravel window;
    QCOMPARE(window.findChild<QComboBox *>(QStringLiteral("soundSourcecomboBox"))->currentText(),
             kMicrophone);
    QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("receiverIplineEdit"))->text(),
             QStringLiteral("127.0.0.12"));
    QCOMPARE(window.findChild<QSlider *>(QStringLiteral("inputVolumehorizontalSlider"))->value(),
             5);
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
