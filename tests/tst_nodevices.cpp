#include "TestSupport.h"
#include "Tonravel.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QSettings>
#include <QtTest>

// A sound server with no sources at all: the first run and a stored source both leave an
// empty box, and ending the run stores an empty source so the next run chooses again.
class TestNoDevices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { REQUIRE_PULSE(pulse, {}); }
    void noSources_data();
    void noSources();

private:
    SettingsSandbox sandbox;
    PulseServer pulse;
};

void TestNoDevices::noSources_data()
{
    QTest::addColumn<QString>("storedSource");
    QTest::addRow("first run") << QString();
    QTest::addRow("stored source") << QStringLiteral("Stereo Mix (High Definition Audio Device)");
}

void TestNoDevices::noSources()
{
    QFETCH(QString, storedSource);
    sandbox.reset();
    QSettings().setValue(QStringLiteral("Wendrel/audioInputDevice"), storedSource);
    {
        Tonravel window;
        auto *box = window.findChild<QComboBox *>(QStringLiteral("soundSourcecomboBox"));
        QCOMPARE(box->count(), 0);
        QCOMPARE(box->currentIndex(), -1);
        QVERIFY(window.findChild<QPlainTextEdit *>()->toPlainText().isEmpty());
    }
    QCOMPARE(QSettings().value(QStringLiteral("Wendrel/audioInputDevice")).toString(), QString());
}

QTEST_MAIN(TestNoDevices)
#include "tst_nodevices.moc"
