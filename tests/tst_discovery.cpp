#include "Discovery.h"
#include "ServicePublisher.h"
#include "ServiceRegistry.h"

#include <QSignalSpy>
#include <QtTest>

#include <random>

using com::morvenhal::halvern::ServicePublishMessage;
using halvern::Announcement;

namespace
{

const QString kPlayer = QStringLiteral("com.morvenhal.plovarin.player");

Announcement player(quint16 port = 14213)
{
    Announcement a;
    a.serviceName = kPlayer;
    a.port = port;
    a.protocolType = ServicePublishMessage::WEBSOCKET;
    return a;
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
    const std::string s = m.SerializeAsString();
    return QByteArray(s.data(), static_cast<int>(s.size()));
}

// A listener that hears nothing from the network: only what the test feeds it.
ServicePublisher::Options offline()
{
    ServicePublisher::Options o;
    o.port = 0;
    o.joinMulticastGroup = false;
    return o;
}

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip();
    void invalidDatagrams_data();
    void invalidDatagrams();
    void registryRules();
    void publisherReportsNewsOnly();
    void quitSilences();
    void fuzz();
};

void TestDiscovery::roundTrip()
{
    const auto parsed = halvern::parseAnnouncement(halvern::encodeAnnouncement(player(4000)));
    QVERIFY(parsed);
    QCOMPARE(parsed->serviceName, kPlayer);
    QCOMPARE(parsed->port, quint16(4000));
    QCOMPARE(parsed->protocolType, ServicePublishMessage::WEBSOCKET);

    Announcement unicode = player();
    unicode.serviceName = QStringLiteral("客厅的扬声器");
    QCOMPARE(halvern::parseAnnouncement(halvern::encodeAnnouncement(unicode))->serviceName,
             unicode.serviceName);
}

void TestDiscovery::invalidDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");
    const QByteArray valid = halvern::encodeAnnouncement(player());
    const QByteArray name = kPlayer.toUtf8();
    const quint32 magic = halvern::kMagic;

    QTest::addRow("empty") << QByteArray();
    QTest::addRow("random bytes") << QByteArray::fromHex("deadbeef0102030405");
    QTest::addRow("truncated") << valid.left(valid.size() - 3);
    QTest::addRow("another protocol's magic") << rawMessage(0x12345678, 1, name, 14213, 3);
    QTest::addRow("no magic") << rawMessage(0, 1, name, 14213, 3);
    QTest::addRow("wrong version") << rawMessage(magic, 2, name, 14213, 3);
    QTest::addRow("too large") << valid + QByteArray(600, '\0');
    QTest::addRow("empty name") << rawMessage(magic, 1, QByteArray(), 14213, 3);
    QTest::addRow("name of 256 bytes") << rawMessage(magic, 1, QByteArray(256, 'a'), 14213, 3);
    QTest::addRow("control character") << rawMessage(magic, 1, "player\nX", 14213, 3);
    QTest::addRow("escape character") << rawMessage(magic, 1, "\x1b[31mred", 14213, 3);
    QTest::addRow("invalid UTF-8") << rawMessage(magic, 1, "play\xff\xfe", 14213, 3);
    QTest::addRow("port 0") << rawMessage(magic, 1, name, 0, 3);
    QTest::addRow("port above 65535") << rawMessage(magic, 1, name, 70000, 3);
    QTest::addRow("unknown protocol type") << rawMessage(magic, 1, name, 14213, 42);
}

void TestDiscovery::invalidDatagrams()
{
    QFETCH(QByteArray, datagram);
    QVERIFY(!halvern::parseAnnouncement(datagram));

    ServicePublisher listener(offline());
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    listener.processDatagram(datagram, QHostAddress(QStringLiteral("127.0.0.5")));
    QCOMPARE(reports.count(), 0);
    QCOMPARE(listener.droppedDatagrams(), 1);
    // The listener goes on working.
    listener.processDatagram(halvern::encodeAnnouncement(player()),
                             QHostAddress(QStringLiteral("127.0.0.5")));
    QCOMPARE(reports.count(), 1);
}

void TestDiscovery::registryRules()
{
    halvern::ServiceRegistry registry(1000);
    const QString host = QStringLiteral("10.0.0.7");
    QVERIFY(registry.observe(player(), host, 0));     // first heard
    QVERIFY(!registry.observe(player(), host, 1000)); // heard again
    QVERIFY(!registry.observe(player(), host, 2000));
    QVERIFY(registry.observe(player(5000), host, 3000));                       // port changed
    QVERIFY(registry.observe(player(5000), QStringLiteral("10.0.0.8"), 3100)); // another host
    QVERIFY(!registry.observe(player(5000), host, 6000)); // 3 periods: not yet expired
    QCOMPARE(registry.expire(9001), 2);                   // more than 3 periods: gone
    QCOMPARE(registry.size(), 0);
    QVERIFY(registry.observe(player(5000), host, 9500)); // reappears
}

void TestDiscovery::publisherReportsNewsOnly()
{
    ServicePublisher listener(offline());
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    const QByteArray datagram = halvern::encodeAnnouncement(player(14213));
    for (int i = 0; i < 5; ++i) {
        listener.processDatagram(datagram, QHostAddress(QStringLiteral("127.0.0.9")));
    }
    QCOMPARE(reports.count(), 1);
    const QList<QVariant> report = reports.takeFirst();
    QCOMPARE(report.at(0).toString(), kPlayer);
    QCOMPARE(report.at(1).value<quint16>(), quint16(14213));
    QCOMPARE(
        report.at(2).value<com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType>(),
        ServicePublishMessage::WEBSOCKET);
    QCOMPARE(report.at(3).value<std::string>(), std::string("127.0.0.9"));

    // An IPv4 sender seen through an IPv6 socket is still reported in dotted form.
    listener.processDatagram(datagram, QHostAddress(QStringLiteral("::ffff:127.0.0.10")));
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.at(0).at(3).value<std::string>(), std::string("127.0.0.10"));
    listener.processDatagram(datagram, QHostAddress(QStringLiteral("::1")));
    QCOMPARE(reports.count(), 1);
}

void TestDiscovery::quitSilences()
{
    ServicePublisher listener(offline());
    QVERIFY(listener.isListening());
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    listener.quit();
    QVERIFY(!listener.isListening());
    listener.processDatagram(halvern::encodeAnnouncement(player()),
                             QHostAddress(QStringLiteral("127.0.0.9")));
    QCOMPARE(reports.count(), 0);
}

void TestDiscovery::fuzz()
{
    std::mt19937 random(20261206);
    const QByteArray valid = halvern::encodeAnnouncement(player());
    ServicePublisher listener(offline());
    QSignalSpy reports(&listener, &ServicePublisher::serviceDiscovered);
    int accepted = 0;
    for (int i = 0; i < 100000; ++i) {
        QByteArray datagram;
        if (i % 2 == 0) {
            datagram.resize(static_cast<int>(random() % 700));
            for (char &c : datagram) {
                c = static_cast<char>(random());
            }
        } else {
            datagram = valid;
            const int mutations = 1 + static_cast<int>(random() % 4);
            for (int m = 0; m < mutations; ++m) {
                switch (random() % 3) {
                case 0:
                    datagram[static_cast<int>(random() % datagram.size())] =
                        static_cast<char>(random());
                    break;
                case 1:
                    datagram.truncate(static_cast<int>(random() % (datagram.size() + 1)));
                    break;
                default:
                    datagram.insert(static_cast<int>(random() % (datagram.size() + 1)),
                                    static_cast<char>(random()));
                    break;
                }
                if (datagram.isEmpty()) {
                    break;
                }
            }
        }
        // Each datagram comes from a sender of its own, so every valid one is news.
        const QHostAddress sender(quint32(0x7f000000u + 1 + static_cast<quint32>(i)));
        const auto parsed = halvern::parseAnnouncement(datagram);
        if (parsed) {
            ++accepted;
            QVERIFY(halvern::isValidServiceName(parsed->serviceName));
            QVERIFY(parsed->port != 0);
            QVERIFY(ServicePublishMessage::ServiceProtocolType_IsValid(parsed->protocolType));
        }
        listener.processDatagram(datagram, sender);
        QCOMPARE(reports.count(), accepted);
    }
    QCOMPARE(listener.droppedDatagrams(), 100000 - accepted);
    qInfo("%d of 100000 fuzzed datagrams were valid announcements", accepted);
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
