#include "TestSupport.h"
#include "Tonravel.h"

#include <QAudioDeviceInfo>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QtTest>

namespace
{
const QString kSink = QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo");
const QString kMicrophone = QStringLiteral("input.usb_microphone");
} // namespace

class TestSourceSelection : public QObject
{
    Q_OBJECT

private slots:
    void score_data();
    void score();
    void selection_data();
    void selection();
    void listsTheServersSourcesAndPicksTheMonitor();
    void offeredSources_data();
    void offeredSources();

private:
    SettingsSandbox sandbox;
    PulseServer pulse;
};

void TestSourceSelection::score_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("score");

    QTest::addRow("Windows stereo mix") << "Stereo Mix (High Definition Audio Device)" << 4;
    QTest::addRow("upper case") << "STEREO MIX" << 4;
    QTest::addRow("no blank") << "stereomix" << 3;
    QTest::addRow("mixer") << "Mixer" << 1;
    QTest::addRow("monitor description") << "Monitor of Built-in Audio Analog Stereo" << 4;
    QTest::addRow("monitor source name")
        << "alsa_output.pci-0000_00_1f.3.analog-stereo.monitor" << 7;
    QTest::addRow("microphone") << "Microphone (High Definition Audio Device)" << 0;
    QTest::addRow("empty") << "" << 0;
}

void TestSourceSelection::score()
{
    QFETCH(QString, name);
    QFETCH(int, score);
    QCOMPARE(Tonravel::scoreDeviceName(name, Tonravel::reasonableDeviceKeywords()), score);
}

void TestSourceSelection::selection_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("chosen");

    QTest::addRow("stereo mix between others")
        << QStringList{"Microphone (USB)", "Stereo Mix (High Definition Audio Device)", "Line In"}
        << 1;
    QTest::addRow("first of equal best")
        << QStringList{"Line In", "Stereo Mix (A)", "Stereo Mix (B)"} << 1;
    QTest::addRow("all zero") << QStringList{"Microphone", "Line In", "Headset"} << 0;
    QTest::addRow("duplicate names") << QStringList{"Line In", "Stereo Mix", "Stereo Mix"} << 1;
    QTest::addRow("monitor beats mixer")
        << QStringList{"Mixer", "alsa_output.pci-0000_00_1f.3.analog-stereo.monitor"} << 1;
    QTest::addRow("one device") << QStringList{"Microphone"} << 0;
    QTest::addRow("no device") << QStringList{} << -1;
}

void TestSourceSelection::selection()
{
    QFETCH(QStringList, names);
    QFETCH(int, chosen);
    QCOMPARE(Tonravel::indexOfMostReasonableName(names), chosen);
}

void TestSourceSelection::listsTheServersSourcesAndPicksTheMonitor()
{
    QString problem;
    if (!usePulseAudioBackendOnly(&problem)) {
        QSKIP(qPrintable(QStringLiteral("SKIPPED, no audio backend: ") + problem));
    }
    // The microphone is the server's default, so the platform lists it first.
    if (!pulse.start({{kSink}, {kMicrophone}, kMicrophone})) {
        QSKIP(qPrintable(QStringLiteral("SKIPPED, no PulseAudio server: ") + pulse.errorString()));
    }

    QStringList listed;
    const auto devices = QAudioDeviceInfo::availableDevices(QAudio::AudioInput);
    for (const QAudioDeviceInfo &device : devices) {
        listed << device.deviceName();
    }
    QCOMPARE(listed.value(0), kMicrophone);
    QVERIFY2(listed.contains(kSink + QStringLiteral(".monitor")), qPrintable(listed.join(", ")));

    Tonravel window;
    auto *box = window.findChild<QComboBox *>(QStringLiteral("soundSourcecomboBox"));
    QStringList items;
    for (int i = 0; i < box->count(); ++i) {
        items << box->itemText(i);
    }
    QCOMPARE(items, listed);
    QCOMPARE(box->currentText(), kSink + QStringLiteral(".monitor"));

    // The Log tab shows the chosen source's rates, one line each, and nothing else.
    QStringList expected;
    const auto rates = devices.at(box->currentIndex()).supportedSampleRates();
    for (const int rate : rates) {
        expected << QStringLiteral("%1Hz").arg(rate);
    }
    QVERIFY(!expected.isEmpty());
    QVERIFY(expected.contains(QStringLiteral("48000Hz")));
    auto *log = window.findChild<QPlainTextEdit *>(QStringLiteral("logplainTextEdit"));
    QCOMPARE(log->toPlainText().split(QLatin1Char('\n')), expected);
}

void TestSourceSelection::offeredSources_data()
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

void TestSourceSelection::offeredSources()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, realms);
    QFETCH(QList<int>, offered);
    QCOMPARE(Tonravel::offeredSourceIndexes(names, realms), offered);
}

QTEST_MAIN(TestSourceSelection)
#include "tst_sourceselection.moc"
