#include "Signal.h"
#include "TestSupport.h"

#include <QtTest>

#include <cmath>
#include <csignal>

// The player program playing into a sound server: the stream heard at its level, the output
// pausing when idle, a stall and the sound server's restart lived through.
class TestOutput : public QObject
{
    Q_OBJECT

private slots:
    void playsIntoSoundServer_data();
    void playsIntoSoundServer();
};

void TestOutput::playsIntoSoundServer_data()
{
    // The stream comes from this machine: a sender capturing what the player plays would hear
    // itself, so it is kept silent unless the user insists.
    QTest::addColumn<bool>("insist");
    QTest::addColumn<bool>("qtOutput"); // as where the sound server's own library is not
    QTest::addRow("insisting on this machine's stream") << true << false;
    QTest::addRow("this machine's stream") << false << false;
    QTest::addRow("through Qt's output") << true << true;
}

void TestOutput::playsIntoSoundServer()
{
    QFETCH(bool, insist);
    QFETCH(bool, qtOutput);
    PulseServer pulse;
    REQUIRE_PULSE(pulse, {{"player_sink"}, {}, {}});
    QProcess recorder;
    recorder.start("parec", QString("--device=player_sink.monitor --raw --format=s16le "
                                    "--rate=48000 --channels=1 --latency-msec=20")
                                .split(' '));
    PlayerProcess player(QStringList{"--no-announce", "--device", "player_sink"} +
                             (insist ? QStringList{"--allow-feedback"} : QStringList{}),
                         qtOutput ? QStringList{"env", "QT_NO_GLIB=1"} : QStringList{});
    // A fresh sound server can take a couple of seconds to start a new stream.
    QVERIFY(player.waitFor("the output device is playing"));
    // Half a second in, the player stalls for a tenth of a second: the gap is seen and counted.
    QVERIFY(sendPaced(Signal::opusTone(50), QHostAddress::LocalHost, 10493, 20, [&](int i) {
        if (i == 25) {
            ::kill(pid_t(player.process.processId()), SIGSTOP);
            QThread::msleep(100);
            ::kill(pid_t(player.process.processId()), SIGCONT);
        }
        return false;
    }));
    QVERIFY(player.waitFor("the stream has ended"));
    // The loudest tenth of a second holds the tone, at its own level (9000 / sqrt(2) RMS); a busy
    // machine may break it up elsewhere.
    const auto checkHeard = [&] {
        const QVector<float> heard = Signal::samples16(recorder.readAllStandardOutput());
        double loudest = 0;
        for (int first = 0; first + 4800 <= heard.size(); first += 480) {
            loudest = std::max(loudest, Signal::totalEnergy(heard.mid(first, 4800)) / 4800);
        }
        return insist ? std::sqrt(loudest) > 5700 && std::sqrt(loudest) < 7000 : loudest < 1;
    };
    QVERIFY(checkHeard());
    if (!insist) {
        QCOMPARE(player.stop(SIGINT), 0);
        QVERIFY(player.output.contains("warning: the stream comes from this computer"));
        return;
    }
    // Idle, the output pauses, so that the sound card may sleep; the next stream wakes it.
    const auto paused = [] { // no stream playing into the sound server, or a corked one
        QProcess pactl;
        pactl.start("pactl", {"list", "sink-inputs"});
        return pactl.waitForFinished(5000) && pactl.exitCode() == 0 &&
               !pactl.readAllStandardOutput().contains("Corked: no");
    };
    QTRY_VERIFY_WITH_TIMEOUT(paused(), 5000);
    QVERIFY(sendPaced(Signal::opusTone(40), QHostAddress::LocalHost, 10493));
    QTest::qWait(200);
    QVERIFY(checkHeard());
    // The sound server goes away: said once, and played on again once it is back (the reopening
    // is the same whichever output plays, and takes seconds).
    if (!qtOutput) {
        pulse.stop();
        QVERIFY(player.waitFor("playback stopped"));
        REQUIRE_PULSE(pulse, {{"player_sink"}, {}, {}});
        QVERIFY(player.waitFor("the output device is playing again"));
        QCOMPARE(player.output.count("playback stopped"), 1);
    }
    QCOMPARE(player.stop(SIGINT), 0);
    QVERIFY(player.figure("output underruns") >= 1);
    QVERIFY(!player.output.contains("warning: the stream comes from this computer"));
}

QTEST_GUILESS_MAIN(TestOutput)
#include "tst_output.moc"
