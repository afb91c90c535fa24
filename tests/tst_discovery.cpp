#include "Discovery.h"
#include "ServiceAnnouncer.h"
#include "ServicePublisher.h"
#include "StartUp.h"
#include "TestSupport.h"
#include "Tonravel.h"

#include <QApplication>
#include <QLineEdit>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <random>

#include <unistd.h>

using com::morvenhal::halvern::ServicePublishMessage;

namespace
{
const QString kPlayer = "com.morvenhal.plovarin.player";
// The two-host test's announcement period: short, so that expiry is seen within a second, and
// long enough that a busy machine's stall does not look like one.
constexpr int kShortPeriodMs = 250;

const halvern::Announcement kAnnouncement{kPlayer, 14213, ServicePublishMessage::WEBSOCKET};

QByteArray rawMessage(quint32 magic, quint32 version, const QByteArray &name, quint32 port,
                      int type)
{
    ServicePublishMessage m;
    m.set_magic(magic);
    m.set_version(version);
    m.set_service_name(name.toStdString());
    m.set_port(port);
    m.set_protocol_type(ServicePublishMessage::ServiceProtocolType(type));
    return QByteArray::fromStdString(m.SerializeAsString());
}

// A listener that hears nothing from the network: only what the test feeds it.
const ServicePublisher::Options kOffline{0, halvern::kAnnouncePeriodMs, {}, false};

bool shell(const QString &command)
{
    return QProcess::execute("sh", {"-c", command}) == 0;
}

// The modes this executable runs in inside a namespace: announcing the player every short
// period, or the main window listening at that period and printing each address it fills in.
int runHelper(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (qstrcmp(argv[1], "announce") == 0) {
        ServiceAnnouncer announcer(kAnnouncement,
                                   {halvern::kDiscoveryPort, kShortPeriodMs, {}, {}});
        return announcer.start() ? application.exec() : 1;
    }
    StartUp::setApplicationIdentity();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QDir::tempPath());
    ServicePublisher::setDefaultOptions({halvern::kDiscoveryPort, kShortPeriodMs, {}, true});
    Tonravel window;
    auto *address = window.findChild<QLineEdit *>("receiverIplineEdit");
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
    void listenerReportsNewsOnce();
    void fuzz();
    void twoHosts();
};

void TestDiscovery::listenerReportsNewsOnce()
{
    // News once, an IPv4 sender seen through an IPv6 socket in dotted form, and nothing once the
    // listener has quit.
    ServicePublisher listener(kOffline);
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    for (int i = 0; i < 3; ++i) {
        listener.processDatagram(halvern::encodeAnnouncement(kAnnouncement),
                                 QHostAddress("::ffff:127.0.0.5"));
    }
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.at(0).at(0).toString(), kPlayer);
    QCOMPARE(reports.at(0).at(1).value<quint16>(), quint16(14213));
    QCOMPARE(reports.at(0).at(3).value<std::string>(), std::string("127.0.0.5"));
    listener.quit();
    listener.processDatagram(halvern::encodeAnnouncement(kAnnouncement), QHostAddress("10.0.0.1"));
    QCOMPARE(reports.count(), 1);
}

void TestDiscovery::fuzz()
{
    // Messages built field by field, each field right about two times in three, so the test
    // knows which ones are announcements; random bytes (an empty datagram among them) never are.
    std::mt19937 random(20261206);
    const auto sometimes = [&] {
        return random() % 3 == 0;
    };
    ServicePublisher listener(kOffline);
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    int expected = 0;
    for (int i = 0; i < 30000; ++i) {
        QByteArray datagram(int(random() % 600), Qt::Uninitialized);
        std::generate(datagram.begin(), datagram.end(), [&] { return char(random()); });
        if (i % 4) {
            QByteArray name(int(1 + random() % 40), 'a');
            bool valid = true;
            if (sometimes()) {
                name = random() % 2 ? QByteArray() : QByteArray(int(256 + random() % 99), 'n');
                valid = false;
            } else if (sometimes()) {
                name[int(random() % name.size())] = char(random() % 2 ? 0x07 : 0xff);
                valid = false;
            }
            const bool fields[] = {!sometimes(), !sometimes(), !sometimes(), !sometimes()};
            datagram = rawMessage(fields[0] ? halvern::kMagic : quint32(random()),
                                  fields[1] ? 1 : 2 + random() % 5, name,
                                  fields[2] ? 1 + random() % 65535 : (random() % 2) * 65536,
                                  fields[3] ? int(random() % 4) : 4 + int(random() % 9));
            expected += valid && std::all_of(fields, fields + 4, [](bool ok) { return ok; });
        }
        // Each datagram comes from a sender of its own, so every valid one is news.
        listener.processDatagram(datagram, QHostAddress(quint32(0x7f000001u + quint32(i))));
        QVERIFY2(reports.count() == expected, qPrintable(datagram.toHex()));
    }
    QCOMPARE(listener.droppedDatagrams(), 30000 - expected);
}

void TestDiscovery::twoHosts()
{
    REQUIRE(geteuid() == 0, "root, to create the two hosts' network namespaces");
    // Two hosts joined by a veth pair, each in a network namespace of its own.
    const QString suffix = QString::number(QCoreApplication::applicationPid());
    const QString a = "plov-a-" + suffix;
    const QString l = "plov-l-" + suffix;
    const auto removed =
        qScopeGuard([&] { shell(QString("ip netns del %1; ip netns del %2").arg(a, l)); });
    QVERIFY(shell(QString("ip netns add %1 && ip netns add %2 && ip link add pva%3 netns %1 type "
                          "veth peer name pvl%3 netns %2 && ip -n %1 addr add 10.251.7.1/24 dev "
                          "pva%3 && ip -n %2 addr add 10.251.7.2/24 dev pvl%3 && ip -n %1 link "
                          "set pva%3 up && ip -n %2 link set pvl%3 up")
                      .arg(a, l, suffix.right(8))));
    const auto in = [](const QString &ns) {
        return QStringList{"netns", "exec", ns, qApp->applicationFilePath()};
    };
    QProcess window;
    window.start("ip", in(l) << "window");
    QByteArray shown;
    const auto reports = [&] {
        shown += window.readAllStandardOutput();
        return shown.count("receiver 10.251.7.1\n");
    };
    QTRY_VERIFY_WITH_TIMEOUT((shown += window.readAllStandardOutput()).contains("listening"),
                             10000);
    QProcess announcer;
    announcer.start("ip", in(a) << "announce");
    QTRY_COMPARE_WITH_TIMEOUT(reports(), 1, 3000);
    // Announced every period, reported once.
    QTest::qWait(5 * kShortPeriodMs);
    QCOMPARE(reports(), 1);
    // Silent for more than three periods: forgotten, and reported again by the real player.
    announcer.kill();
    announcer.waitForFinished(2000);
    QTest::qWait(6 * kShortPeriodMs);
    QCOMPARE(reports(), 1);
    PlayerProcess program({"--no-playback", "--wav", QDir::temp().filePath("plov-" + suffix)},
                          {"ip", "netns", "exec", a});
    QTRY_COMPARE_WITH_TIMEOUT(reports(), 2, 5000);
    QCOMPARE(program.stop(SIGTERM), 0);
    window.kill();
    window.waitForFinished(2000);
}

int main(int argc, char *argv[])
{
    if (argc == 2 && (qstrcmp(argv[1], "announce") == 0 || qstrcmp(argv[1], "window") == 0)) {
        return runHelper(argc, argv);
    }
    QApplication application(argc, argv);
    TestDiscovery test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_discovery.moc"
