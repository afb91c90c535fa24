#include "ServiceAnnouncer.h"
#include "ServicePublisher.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <QUdpSocket>

#include <memory>

#include <unistd.h>

using com::morvenhal::halvern::ServicePublishMessage;

namespace
{

const QString kPlayer = QStringLiteral("com.morvenhal.plovarin.player");
// Not the real discovery port, so a listener of the machine's own is never disturbed.
constexpr quint16 kTestPort = 27351;

bool run(const QStringList &command, QString *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    const bool ok = process.waitForFinished(10000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (output) {
        *output = QString::fromLocal8Bit(process.readAll());
    }
    return ok;
}

// Two hosts joined by a veth pair, each in a network namespace of its own; removed again when
// the object goes, also when a test fails half-way.
class TwoHosts
{
public:
    TwoHosts()
        : suffix(QString::number(QCoreApplication::applicationPid()))
    {
    }
    ~TwoHosts()
    {
        for (const QString &ns : {announcerNs(), listenerNs()}) {
            run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("delete"), ns});
        }
    }
    QString announcerNs() const { return QStringLiteral("plov-a-") + suffix; }
    QString listenerNs() const { return QStringLiteral("plov-l-") + suffix; }
    QString announcerAddress() const { return QStringLiteral("10.251.7.1"); }

    bool create(QString *error)
    {
        const QString a = announcerNs();
        const QString l = listenerNs();
        const QString va = QStringLiteral("pva") + suffix.right(8);
        const QString vl = QStringLiteral("pvl") + suffix.right(8);
        const QList<QStringList> steps = {
            {"ip", "netns", "add", a},
            {"ip", "netns", "add", l},
            {"ip", "link", "add", va, "netns", a, "type", "veth", "peer", "name", vl, "netns", l},
            {"ip", "-n", a, "addr", "add", announcerAddress() + "/24", "dev", va},
            {"ip", "-n", l, "addr", "add", "10.251.7.2/24", "dev", vl},
            {"ip", "-n", a, "link", "set", va, "up"},
            {"ip", "-n", l, "link", "set", vl, "up"},
            {"ip", "-n", a, "link", "set", "lo", "up"},
            {"ip", "-n", l, "link", "set", "lo", "up"},
        };
        for (const QStringList &step : steps) {
            QString output;
            if (!run(step, &output)) {
                *error = step.join(QLatin1Char(' ')) + QStringLiteral(": ") + output.trimmed();
                return false;
            }
        }
        return true;
    }

private:
    QString suffix;
};

// Skips the calling test where the namespaces cannot be made (not root, or no iproute2).
#define REQUIRE_TWO_HOSTS(hosts)                                                                   \
    do {                                                                                           \
        if (geteuid() != 0) {                                                                      \
            QSKIP("SKIPPED: the two-host discovery test needs root to create network namespaces"); \
        }                                                                                          \
        QString error;                                                                             \
        if (!(hosts).create(&error)) {                                                             \
            QSKIP(qPrintable(QStringLiteral("SKIPPED: cannot create network namespaces: ") +       \
                             error));                                                              \
        }                                                                                          \
    } while (false)

std::unique_ptr<QProcess> startIn(const QString &ns, const QStringList &arguments)
{
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("ip"),
                   QStringList{QStringLiteral("netns"), QStringLiteral("exec"), ns,
                               QStringLiteral(HALVERN_TOOL)} +
                       arguments);
    process->waitForStarted(5000);
    return process;
}

// The window (the probe) in namespace ns with its settings in configDir, once its discovery
// listens; what it printed so far is in shown. Null when it does not get that far.
std::unique_ptr<QProcess> startWindowIn(const QString &ns, const QString &configDir,
                                        QByteArray &shown)
{
    auto window = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir);
    window->setProcessEnvironment(environment);
    window->start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), ns,
                                         QStringLiteral(TONRAVEL_PROBE)});
    const bool listening =
        window->waitForStarted(5000) &&
        QTest::qWaitFor(
            [&] { return (shown += window->readAllStandardOutput()).contains("listening"); },
            10000);
    return listening ? std::move(window) : nullptr;
}

void stop(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

} // namespace

class TestDiscoveryNetwork : public QObject
{
    Q_OBJECT

private slots:
    void loopbackAnnouncement();
    void garbageOnTheWire();
    void twoHosts();
    void windowFindsThePlayer();
};

void TestDiscoveryNetwork::loopbackAnnouncement()
{
    ServicePublisher::Options listen;
    listen.port = kTestPort;
    listen.joinMulticastGroup = false;
    ServicePublisher listener(listen);
    QVERIFY(listener.isListening());
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);

    halvern::Announcement announcement{kPlayer, 14213, ServicePublishMessage::WEBSOCKET};
    ServiceAnnouncer::Options announce;
    announce.port = kTestPort;
    announce.periodMs = 100;
    announce.target = QHostAddress(QStringLiteral("127.0.0.1"));
    ServiceAnnouncer announcer(announcement, announce);
    QVERIFY(announcer.start());

    QTRY_COMPARE_WITH_TIMEOUT(reports.count(), 1, 2000);
    QCOMPARE(reports.at(0).at(0).toString(), kPlayer);
    QCOMPARE(reports.at(0).at(3).value<std::string>(), std::string("127.0.0.1"));
    // Announced every period, reported once.
    QTest::qWait(350);
    QCOMPARE(reports.count(), 1);

    announcer.stop();
    listener.quit();
    QTest::qWait(50);
    QCOMPARE(reports.count(), 1);
}

void TestDiscoveryNetwork::garbageOnTheWire()
{
    ServicePublisher::Options listen;
    listen.port = kTestPort;
    listen.joinMulticastGroup = false;
    ServicePublisher listener(listen);
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);

    QUdpSocket sender;
    const QHostAddress loopback(QStringLiteral("127.0.0.1"));
    QRandomGenerator random(7);
    // In batches, so that the receive buffer never overflows.
    for (int batch = 1; batch <= 20; ++batch) {
        for (int i = 0; i < 50; ++i) {
            QByteArray junk(int(random.bounded(1, 1400)), Qt::Uninitialized);
            for (char &c : junk) {
                c = char(random.generate());
            }
            sender.writeDatagram(junk, loopback, kTestPort);
        }
        QTRY_COMPARE_WITH_TIMEOUT(listener.droppedDatagrams(), 50 * batch, 3000);
    }
    // A valid announcement behind a long tail is too large and must not be read cut short.
    const QByteArray valid =
        halvern::encodeAnnouncement({kPlayer, 14213, ServicePublishMessage::WEBSOCKET});
    sender.writeDatagram(valid + QByteArray(1000, '\0'), loopback, kTestPort);
    sender.writeDatagram(valid, loopback, kTestPort);
    QTRY_COMPARE_WITH_TIMEOUT(reports.count(), 1, 3000);
    QTRY_COMPARE_WITH_TIMEOUT(listener.droppedDatagrams(), 1001, 3000);
}

void TestDiscoveryNetwork::twoHosts()
{
    TwoHosts hosts;
    REQUIRE_TWO_HOSTS(hosts);

    auto listener = startIn(hosts.listenerNs(), {QStringLiteral("listen")});
    QByteArray heard;
    auto reports = [&]() {
        heard += listener->readAllStandardOutput();
        return heard.count("discovered ");
    };
    reports();
    const QByteArray expected =
        "discovered " + kPlayer.toUtf8() + " 14213 3 " + hosts.announcerAddress().toUtf8() + "\n";
    // The listener joins the group once its side of the link is up.
    QTRY_VERIFY_WITH_TIMEOUT(
        (heard += listener->readAllStandardOutput()).contains("listening on: "), 10000);

    auto announcer = startIn(hosts.announcerNs(),
                             {QStringLiteral("announce"), kPlayer, QStringLiteral("14213")});
    QTRY_COMPARE_WITH_TIMEOUT(reports(), 1, 2000);
    QVERIFY2(heard.endsWith(expected), heard.constData());
    // Announced every second, reported once.
    QTest::qWait(2500);
    QCOMPARE(reports(), 1);

    // Silent for more than three periods: forgotten, and reported again when it comes back.
    stop(*announcer);
    QTest::qWait(4200);
    QCOMPARE(reports(), 1);
    announcer = startIn(hosts.announcerNs(),
                        {QStringLiteral("announce"), kPlayer, QStringLiteral("14213")});
    QTRY_COMPARE_WITH_TIMEOUT(reports(), 2, 2000);
    QVERIFY2(heard.endsWith(expected), heard.constData());

    stop(*announcer);
    stop(*listener);
}

void TestDiscoveryNetwork::windowFindsThePlayer()
{
    TwoHosts hosts;
    REQUIRE_TWO_HOSTS(hosts);
    QTemporaryDir dir;
    QByteArray shown;
    const auto window = startWindowIn(hosts.listenerNs(), dir.path(), shown);
    QVERIFY(window);

    QProcess player;
    player.start(QStringLiteral("ip"),
                 {QStringLiteral("netns"), QStringLiteral("exec"), hosts.announcerNs(),
                  QStringLiteral(PLAYER_EXECUTABLE), QStringLiteral("--no-playback"),
                  QStringLiteral("--wav"), dir.filePath(QStringLiteral("heard.wav"))});
    QVERIFY(player.waitForStarted(5000));
    const QByteArray expected = "receiver " + hosts.announcerAddress().toUtf8() + "\n";
    QTRY_VERIFY_WITH_TIMEOUT((shown += window->readAllStandardOutput()).contains(expected), 5000);
    player.terminate();
    QVERIFY(player.waitForFinished(5000));
    QCOMPARE(player.exitCode(), 0);
    stop(*window);
}

QTEST_GUILESS_MAIN(TestDiscoveryNetwork)
#include "tst_discoverynetwork.moc"
