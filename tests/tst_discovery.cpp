#include "Discovery.h"
#include "ServiceAnnouncer.h"
#include "ServicePublisher.h"
#include "ServiceRegistry.h"
#include "StartUp.h"
#include "TestSupport.h"
#include "Tonravel.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <random>

#include <unistd.h>

using com::morvenhal::halvern::ServicePublishMessage;

namespace
{
const QString kPlayer = QStringLiteral("com.morvenhal.plovarin.player");
// Announcement period of the two-host test: short, so that expiry is seen within a second.
constexpr int kShortPeriodMs = 100;

halvern::Announcement announcement(quint16 port = 14213)
{
    return {kPlayer, port, ServicePublishMessage::WEBSOCKET};
}

QByteArray rawMessage(quint32 magic, quint32 version, const QByteArray &name, quint32 port,
                      int type)
{
    ServicePublishMessage m;
    m.set_magic(magic);
    m.set_version(version);
    m.set_service_name(name.toStdString());
    m.set_port(port);
    m.set_protocol_type(static_cast<ServicePublishMessage::ServiceProtocolType>(type));
    return QByteArray::fromStdString(m.SerializeAsString());
}

// A listener that hears nothing from the network: only what the test feeds it.
ServicePublisher::Options offline()
{
    ServicePublisher::Options o;
    o.port = 0;
    o.joinMulticastGroup = false;
    return o;
}

bool shell(const QString &command)
{
    return QProcess::execute(QStringLiteral("sh"), {"-c", command}) == 0;
}

// Two hosts joined by a veth pair, each in a network namespace of its own (removed again when the
// object goes, also when a test fails half-way); this executable runs in them in helper mode.
struct TwoHosts {
    const QString suffix = QString::number(QCoreApplication::applicationPid());
    const QString announcer = "plov-a-" + suffix;
    const QString listener = "plov-l-" + suffix;
    ~TwoHosts()
    {
        shell(QString("ip netns delete %1; ip netns delete %2").arg(announcer, listener));
    }
    bool create()
    {
        return shell(
            QString("ip netns add %1 && ip netns add %2 && ip link add pva%3 netns %1 type "
                    "veth peer name pvl%3 netns %2 && ip -n %1 addr add 10.251.7.1/24 dev "
                    "pva%3 && ip -n %2 addr add 10.251.7.2/24 dev pvl%3 && ip -n %1 link "
                    "set pva%3 up && ip -n %2 link set pvl%3 up")
                .arg(announcer, listener, suffix.right(8)));
    }
    void start(QProcess &process, const QString &ns, const QString &mode) const
    {
        process.start("ip", {"netns", "exec", ns, QCoreApplication::applicationFilePath(), mode});
    }
};

// The helper modes this executable runs in inside a namespace: "announce" announces the player
// every short period; "window" is the main window listening with the short period, printing
// each address discovery fills in.
int runHelper(int argc, char *argv[], const QString &mode)
{
    QApplication application(argc, argv);
    if (mode == QLatin1String("announce")) {
        ServiceAnnouncer::Options options;
        options.periodMs = kShortPeriodMs;
        ServiceAnnouncer announcer(announcement(), options);
        return announcer.start() ? application.exec() : 1;
    }
    StartUp::setApplicationIdentity();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QDir::tempPath());
    ServicePublisher::Options options;
    options.periodMs = kShortPeriodMs;
    ServicePublisher::setDefaultOptions(options);
    Tonravel window;
    auto *address = window.findChild<QLineEdit *>(QStringLiteral("receiverIplineEdit"));
    address->clear();
    QObject::connect(address, &QLineEdit::textChanged, [address](const QString &text) {
        if (!text.isEmpty()) {
            std::printf("receiver %s\n", qPrintable(text));
            std::fflush(stdout);
            address->clear(); // so that the next report shows too
        }
    });
    std::printf("listening\n");
    std::fflush(stdout);
    return application.exec();
}
} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void invalidDatagrams_data();
    void invalidDatagrams();
    void registryRules();
    void publisherReportsNewsOnly();
    void fuzz();
    void twoHosts();
};

void TestDiscovery::invalidDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");
    const QByteArray valid = halvern::encodeAnnouncement(announcement());
    const QByteArray name = kPlayer.toUtf8();
    const quint32 magic = halvern::kMagic;
    QTest::addRow("empty") << QByteArray();
    QTest::addRow("truncated") << valid.left(valid.size() - 3);
    QTest::addRow("another protocol's magic") << rawMessage(0x12345678, 1, name, 14213, 3);
    QTest::addRow("no magic") << rawMessage(0, 1, name, 14213, 3);
    QTest::addRow("wrong version") << rawMessage(magic, 2, name, 14213, 3);
    QTest::addRow("too large") << valid + QByteArray(600, '\0');
    QTest::addRow("empty name") << rawMessage(magic, 1, QByteArray(), 14213, 3);
    QTest::addRow("name of 256 bytes") << rawMessage(magic, 1, QByteArray(256, 'a'), 14213, 3);
    QTest::addRow("control character") << rawMessage(magic, 1, "\x1b[31mred", 14213, 3);
    QTest::addRow("invalid UTF-8") << rawMessage(magic, 1, "play\xff\xfe", 14213, 3);
    QTest::addRow("port 0") << rawMessage(magic, 1, name, 0, 3);
    QTest::addRow("port above 65535") << rawMessage(magic, 1, name, 70000, 3);
    QTest::addRow("unknown protocol type") << rawMessage(magic, 1, name, 14213, 42);
}

void TestDiscovery::invalidDatagrams()
{
    QFETCH(QByteArray, datagram);
    ServicePublisher listener(offline());
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    listener.processDatagram(datagram, QHostAddress(QStringLiteral("127.0.0.5")));
    QCOMPARE(reports.count(), 0);
    QCOMPARE(listener.droppedDatagrams(), 1);
    // The listener goes on working.
    listener.processDatagram(halvern::encodeAnnouncement(announcement()),
                             QHostAddress(QStringLiteral("127.0.0.5")));
    QCOMPARE(reports.count(), 1);
}

void TestDiscovery::registryRules()
{
    halvern::ServiceRegistry registry(1000);
    const QString host = QStringLiteral("10.0.0.7");
    QVERIFY(registry.observe(announcement(), host, 0));                              // first heard
    QVERIFY(!registry.observe(announcement(), host, 1000));                          // heard again
    QVERIFY(registry.observe(announcement(5000), host, 3000));                       // port changed
    QVERIFY(registry.observe(announcement(5000), QStringLiteral("10.0.0.8"), 3100)); // another host
    QVERIFY(!registry.observe(announcement(5000), host, 6000)); // 3 periods: not yet expired
    QCOMPARE(registry.expire(9001), 2);                         // more than 3 periods: gone
    QVERIFY(registry.observe(announcement(5000), host, 9500));  // reappears
}

void TestDiscovery::publisherReportsNewsOnly()
{
    ServicePublisher listener(offline());
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    const QByteArray datagram = halvern::encodeAnnouncement(announcement(14213));
    for (int i = 0; i < 5; ++i) {
        listener.processDatagram(datagram, QHostAddress(QStringLiteral("127.0.0.9")));
    }
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.at(0).at(0).toString(), kPlayer);
    QCOMPARE(reports.at(0).at(1).value<quint16>(), quint16(14213));
    QCOMPARE(reports.at(0).at(3).value<std::string>(), std::string("127.0.0.9"));
    // An IPv4 sender seen through an IPv6 socket is still reported in dotted form.
    listener.processDatagram(datagram, QHostAddress(QStringLiteral("::ffff:127.0.0.10")));
    QCOMPARE(reports.at(1).at(3).value<std::string>(), std::string("127.0.0.10"));
    listener.quit();
    listener.processDatagram(datagram, QHostAddress(QStringLiteral("127.0.0.11")));
    QCOMPARE(reports.count(), 2);
}

void TestDiscovery::fuzz()
{
    // Messages built field by field, each field right about two times in three, so the test
    // knows which ones are announcements; random bytes among them never are.
    std::mt19937 random(20261206);
    const auto sometimes = [&] {
        return random() % 3 == 0;
    };
    ServicePublisher listener(offline());
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    int expected = 0;
    for (int i = 0; i < 30000; ++i) {
        QByteArray datagram(int(random() % 600), Qt::Uninitialized);
        for (char &c : datagram) {
            c = char(random());
        }
        bool valid = false;
        if (i % 4) {
            QByteArray name(int(1 + random() % 40), 'a');
            bool nameOk = true;
            if (sometimes()) {
                name = random() % 2 ? QByteArray() : QByteArray(int(256 + random() % 99), 'n');
                nameOk = false;
            } else if (sometimes()) {
                name[int(random() % name.size())] = char(random() % 2 ? 0x07 : 0xff);
                nameOk = false;
            }
            const bool magic = !sometimes();
            const bool version = !sometimes();
            const bool portOk = !sometimes();
            const bool typeOk = !sometimes();
            valid = nameOk && magic && version && portOk && typeOk;
            datagram = rawMessage(magic ? halvern::kMagic : quint32(random()),
                                  version ? 1 : 2 + random() % 5, name,
                                  portOk ? 1 + random() % 65535 : (random() % 2 ? 0 : 65536),
                                  typeOk ? int(random() % 4) : 4 + int(random() % 9));
        }
        expected += valid ? 1 : 0;
        // Each datagram comes from a sender of its own, so every valid one is news.
        listener.processDatagram(datagram, QHostAddress(quint32(0x7f000001u + quint32(i))));
        QVERIFY2(reports.count() == expected, qPrintable(datagram.toHex()));
    }
    QCOMPARE(listener.droppedDatagrams(), 30000 - expected);
}

void TestDiscovery::twoHosts()
{
    if (geteuid() != 0) {
        QSKIP("SKIPPED: the two-host discovery test needs root to create network namespaces");
    }
    TwoHosts hosts;
    QVERIFY2(hosts.create(), "cannot create two network namespaces joined by veth");
    QProcess window;
    hosts.start(window, hosts.listener, QStringLiteral("window"));
    QByteArray shown;
    const auto reports = [&] {
        shown += window.readAllStandardOutput();
        return shown.count("receiver 10.251.7.1\n");
    };
    QTRY_VERIFY_WITH_TIMEOUT((shown += window.readAllStandardOutput()).contains("listening"),
                             10000);
    QProcess announcer;
    hosts.start(announcer, hosts.announcer, QStringLiteral("announce"));
    QTRY_COMPARE_WITH_TIMEOUT(reports(), 1, 3000);
    // Announced every period, reported once.
    QTest::qWait(5 * kShortPeriodMs);
    QCOMPARE(reports(), 1);
    // Silent for more than three periods: forgotten, and reported again by the real player.
    announcer.kill();
    announcer.waitForFinished(2000);
    QTest::qWait(6 * kShortPeriodMs);
    QCOMPARE(reports(), 1);
    PlayerProcess program(
        {"--no-playback", "--wav", QDir::temp().filePath("plov-" + hosts.suffix + ".wav")}, {},
        {"ip", "netns", "exec", hosts.announcer});
    QTRY_COMPARE_WITH_TIMEOUT(reports(), 2, 5000);
    QCOMPARE(program.stop(SIGTERM), 0);
    window.kill();
    window.waitForFinished(2000);
}

int main(int argc, char *argv[])
{
    if (argc == 2 && (qstrcmp(argv[1], "announce") == 0 || qstrcmp(argv[1], "window") == 0)) {
        return runHelper(argc, argv, QString::fromLatin1(argv[1]));
    }
    QApplication application(argc, argv);
    TestDiscovery test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_discovery.moc"
