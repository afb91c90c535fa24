#include "SendFileMessage.pb.h"
#include "TestSupport.h"
#include "Tonravel.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// Runs the program itself and reads what it writes; and the window's start with no sound source
// at all.
class TestStartUp : public QObject
{
    Q_OBJECT

private slots:
    void fileMessageWireFormat();
    void startsTheWindow();
    void noDisplay_data();
    void noDisplay();
    void noSources_data();
    void noSources();

private:
    QProcess program;
    QTemporaryDir home;
    SettingsSandbox sandbox;
    PulseServer pulse;
};

void TestStartUp::fileMessageWireFormat()
{
    com::morvenhal::plovarin::SendFileMessage message;
    message.set_file_name("a.wav");
    message.set_current_part_number(1);
    message.set_total_part_amount(3);
    QCOMPARE(QByteArray::fromStdString(message.SerializeAsString()).toHex(),
             QByteArray("0a05612e77617618012003"));
}

void TestStartUp::startsTheWindow()
{
    // In a network namespace of its own, so that its discovery listener stays off the network.
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty()) {
        QSKIP("SKIPPED: unshare (util-linux) is needed to start the program off the network");
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    program.setProcessEnvironment(environment);
    program.start(unshare, {geteuid() == 0 ? QStringLiteral("-n") : QStringLiteral("-rn"),
                            QStringLiteral(TONRAVEL_EXECUTABLE)});
    // Start-up ends with restoring the settings: the window is up.
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT(
        (output += program.readAllStandardOutput()).contains(", loadSetting\n"), 20000);
    program.kill();
    program.waitForFinished(5000);
    QVERIFY2(output.left(output.indexOf('\n')).contains("src/main.cpp, "),
             output.left(200).constData());
    // Every connection the form makes by signature is accepted.
    const QByteArray errors = program.readAllStandardError();
    QVERIFY2(!errors.contains("QObject::connect"), errors.constData());
}

void TestStartUp::noDisplay_data()
{
    QTest::addColumn<QString>("platform");
    QTest::addRow("default platform") << QString();
    QTest::addRow("xcb asked for") << QStringLiteral("xcb");
}

void TestStartUp::noDisplay()
{
    QFETCH(QString, platform);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(QString::fromLatin1(name));
    }
    if (!platform.isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    }
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(TONRAVEL_EXECUTABLE), QStringList());
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    const QByteArray said = program.readAllStandardError();
    QCOMPARE(said.count('\n'), 1);
    QVERIFY2(said.contains("xvfb-run"), said.constData());
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

void TestStartUp::noSources_data()
{
    QTest::addColumn<QString>("storedSource");
    QTest::addRow("first run") << QString();
    QTest::addRow("stored source") << QStringLiteral("Stereo Mix (High Definition Audio Device)");
}

void TestStartUp::noSources()
{
    // The box stays empty, and ending the run stores an empty source so the next run chooses.
    QFETCH(QString, storedSource);
    if (QTest::currentDataTag() == QLatin1String("first run")) {
        REQUIRE_PULSE(pulse, {});
    }
    QSettings().setValue(QStringLiteral("Wendrel/audioInputDevice"), storedSource);
    {
        Tonravel window;
        QCOMPARE(window.findChild<QComboBox *>()->count(), 0);
        QCOMPARE(window.findChild<QComboBox *>()->currentIndex(), -1);
        QVERIFY(window.findChild<QPlainTextEdit *>()->toPlainText().isEmpty());
    }
    QCOMPARE(QSettings().value(QStringLiteral("Wendrel/audioInputDevice")).toString(), QString());
}

QTEST_MAIN(TestStartUp)
#include "tst_startup.moc"
