#include "Signal.h"
#include "TestSupport.h"
#include "WebRelay.h"
#include "WebServer.h"

#include <QScopeGuard>
#include <QTcpSocket>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <vector>

class TestWeb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hostileRequests_data();
    void hostileRequests();
    void browsersPlayTheStream_data();
    void browsersPlayTheStream();

private:
    player::WebRelay relay;
    player::WebServer server{relay};
    QTimer feed;
    QWebSocket listener;
    qint64 frames = 0;
};

void TestWeb::initTestCase()
{
    server.setLimits({500}); // a short request timeout: idle connections end soon
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    // 10 ms of audio every 10 ms, as the player hands it on.
    connect(&feed, &QTimer::timeout, this,
            [this] { relay.pushAudio(QVector<qint16>(480, 1000).constData(), 480); });
    feed.start(10);
    connect(&listener, &QWebSocket::binaryMessageReceived, this, [this] { ++frames; });
    listener.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/stream").arg(server.port())));
}

void TestWeb::hostileRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("connections");
    QTest::addColumn<QByteArray>("status"); // empty: closed without an answer
    QTest::addRow("garbage") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc", 9) << 1
                             << QByteArray("HTTP/1.1 400");
    QTest::addRow("huge headers") << "GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'a') + "\r\n\r\n"
                                  << 1 << QByteArray("HTTP/1.1 431");
    QTest::addRow("path outside the page")
        << QByteArray("GET /../tst_web HTTP/1.1\r\n\r\n") << 1 << QByteArray("HTTP/1.1 404");
    QTest::addRow("method other than GET")
        << QByteArray("PUT / HTTP/1.1\r\n\r\n") << 1 << QByteArray("HTTP/1.1 405");
    QTest::addRow("the stream for another site's page")
        << QByteArray("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                      "Origin: http://a.example\r\n\r\n")
        << 1 << QByteArray("HTTP/1.1 403");
    QTest::addRow("1,000 idle connections") << QByteArray() << 1000 << QByteArray();
    QTest::addRow("the page, after all that")
        << QByteArray("GET / HTTP/1.1\r\n\r\n") << 1 << QByteArray("HTTP/1.1 200");
}

void TestWeb::hostileRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(int, connections);
    QFETCH(QByteArray, status);
    const qint64 framesBefore = frames;
    std::vector<QTcpSocket> sockets(connections);
    for (QTcpSocket &socket : sockets) {
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        socket.write(request);
        QCoreApplication::processEvents(); // the server takes them in as they arrive
    }
    for (QTcpSocket &socket : sockets) {
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
        QCOMPARE(socket.readAll().left(status.size()), status);
    }
    QTRY_VERIFY(frames > framesBefore + 5); // the listener went on receiving
}

void TestWeb::browsersPlayTheStream_data()
{
    QTest::addColumn<QString>("firewall"); // nft rules of the namespace's input
    QTest::addColumn<QString>("path");     // what the page says of it
    QTest::addColumn<int>("pages");        // of three, one dies halfway
    QTest::addRow("over WebRTC") << QString() << QString("Sound over WebRTC") << 3;
    QTest::addRow("UDP blocked: over the WebSocket")
        << QString("udp dport != 10493 drop")
        << QString("Sound over the WebSocket (WebRTC did not connect within 3 s)") << 1;
}

void TestWeb::browsersPlayTheStream()
{
    QFETCH(QString, firewall);
    QFETCH(QString, path);
    QFETCH(int, pages);
    // Chromium calls only from the interface of the default route, which loopback is not: the
    // test's namespace gets one that leads nowhere (a veth pair within it), and the firewall's
    // rules if any; both go with the namespace.
    const bool ownNamespace = qgetenv("PLOVARIN_NETNS_OWN") == "1";
    if (ownNamespace) {
        QProcess::execute("sh", {"-c", "ip link show plovarin0 >/dev/null 2>&1 || (ip link add "
                                       "plovarin0 type veth peer name plovarin1 && ip address "
                                       "add 10.214.0.1/24 dev plovarin0 && ip link set plovarin0 "
                                       "up && ip link set plovarin1 up && ip route add default "
                                       "dev plovarin0)"});
    }
    QProcess nft;
    if (!firewall.isEmpty()) {
        nft.start("nft", {"-f", "-"});
        nft.write(("table inet plovarin {\n chain input {\n type filter hook input priority 0;\n" +
                   firewall + "\n }\n}\n")
                      .toUtf8());
        nft.closeWriteChannel();
        if (!ownNamespace || !nft.waitForFinished() || nft.exitCode()) {
            QSKIP("SKIPPED, no network namespace of the test's own with nft to block UDP in");
        }
    }
    const auto unblock = qScopeGuard([&] {
        if (!firewall.isEmpty()) {
            QProcess::execute("nft", {"delete", "table", "inet", "plovarin"});
        }
    });
    PulseServer pulse;
    REQUIRE_PULSE(pulse, {{"sink0", "sink1", "sink2"}, {}, {}});
    PlayerProcess player({"--no-playback", "--no-announce", "--bind", "127.0.0.1"});
    QVERIFY(player.waitFor("web page: http://127.0.0.1:14214/"));
    Chromium browsers[3];
    QProcess recorders[3];
    for (int i = 0; i < pages; ++i) {
        const QString sink = QStringLiteral("sink%1").arg(i);
        recorders[i].start("parec", {"--device=" + sink + ".monitor", "--raw", "--format=s16le",
                                     "--rate=48000", "--channels=1"});
        if (!browsers[i].start("http://127.0.0.1:14214/", sink)) {
            QSKIP("SKIPPED, Xvfb or Chromium is missing or did not start");
        }
    }
    const QString state = "document.getElementById('state').textContent";
    for (int i = 0; i < pages; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(browsers[i].evaluate(state).toString(),
                                  QString("Press Play to listen"), 9000);
        browsers[i].evaluate("document.getElementById('play').click()");
        QTRY_COMPARE_WITH_TIMEOUT(browsers[i].evaluate(state).toString(),
                                  QString("Waiting for a sender"), 9000);
    }
    for (int i = 0; i < pages; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(
            browsers[i].evaluate("document.getElementById('path').textContent").toString(), path,
            9000);
    }
    // Four seconds of tone; the third browser dies 1.6 s before its end.
    QVERIFY(sendPaced(Signal::opusTone(200), QHostAddress::LocalHost, 10493, 20, [&](int i) {
        if (i == 120 && pages == 3) {
            browsers[2].browser.kill();
            recorders[2].kill(); // its sink is not listened to
        }
        return false;
    }));
    QCOMPARE(browsers[0].evaluate(state).toString(), QString("Playing from 127.0.0.1"));
    QVERIFY(player.waitFor("the stream has ended"));
    for (int i = 0; i < std::max(1, pages - 1); ++i) {
        recorders[i].kill();
        recorders[i].waitForFinished();
        const QVector<float> raw = Signal::samples16(recorders[i].readAllStandardOutput());
        QVERIFY(raw.size() > 300 * 480);
        const auto toneAt = [&](int block) { // of 10 ms
            const QVector<float> samples = raw.mid(block * 480, 480);
            const double rms = std::sqrt(Signal::totalEnergy(samples) / 480);
            // Loud as sent, and mostly the 440 Hz tone.
            return rms > 4000 && rms < 8000 &&
                   3 * Signal::toneEnergy(samples, 440) > 2 * Signal::totalEnergy(samples);
        };
        // The tone's last 2.8 s, in which the third browser died, are heard. A browser starved
        // of the processor by a busy machine may break off for a moment, but a page that lost
        // its connection would be silent for half a second at least.
        int end = raw.size() / 480 - 1;
        while (end > 280 && !toneAt(end)) {
            --end;
        }
        int missing = 0;
        for (int block = end - 280; block <= end; ++block) {
            missing += !toneAt(block);
        }
        QVERIFY2(missing <= 25, qPrintable(QString::number(missing * 10) + " ms without the tone"));
    }
    QCOMPARE(player.stop(SIGTERM), 0);
}

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"
