#include "TestSupport.h"
#include "Tonravel.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QtTest>

#include <unistd.h>

// The program itself, run with and without a display, and the window's start with no sound
// source at all.
class TestStartUp : public QObject
{
    Q_OBJECT

private slots:
    void startsTheWindow();
    void noDisplay();
    void noSources();

private:
    SettingsSandbox sandbox;
    PulseServer pulse;
};

void TestStartUp::startsTheWindow()
{
    // In a network namespace of its own, so that its discovery listener stays off the network.
    QProcess program;
    program.start("unshare", {geteuid() == 0 ? "-n" : "-rn", TONRAVEL_EXECUTABLE});
    // Start-up ends with restoring the settings: the window is up.
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT(
        (output += program.readAllStandardOutput()).contains(", loadSetting\n"), 20000);
    program.kill();
    program.waitForFinished(5000);
    QVERIFY2(output.left(output.indexOf('\n')).contains("src/main.cpp, "), output.constData());
    // Every connection the form makes by signature is accepted.
    QVERIFY(!program.readAllStandardError().contains("QObject::connect"));
}

void TestStartUp::noDisplay()
{
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(name);
    }
    program.setProcessEnvironment(environment);
    program.start(TONRAVEL_EXECUTABLE, QStringList());
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 1);
    const QByteArray said = program.readAllStandardError();
    QVERIFY2(said.count('\n') == 1 && said.contains("xvfb-run"), said.constData());
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

void TestStartUp::noSources()
{
    // A sound server without sources: the box stays empty, and ending the run stores an empty
    // source so that the next run chooses.
    REQUIRE_PULSE(pulse, {});
    QSettings().setValue("Wendrel/audioInputDevice", "Stereo Mix (High Definition Audio Device)");
    {
        Tonravel window;
        QCOMPARE(window.findChild<QComboBox *>()->count(), 0);
        QCOMPARE(window.findChild<QComboBox *>()->currentIndex(), -1);
        QVERIFY(window.findChild<QPlainTextEdit *>()->toPlainText().isEmpty());
    }
    QCOMPARE(QSettings().value("Wendrel/audioInputDevice").toString(), QString());
}

QTEST_MAIN(TestStartUp)
#include "tst_startup.moc"
