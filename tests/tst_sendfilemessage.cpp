#include "SendFileMessage.pb.h"

#include <QtTest>

#include <string>

using com::morvenhal::plovarin::SendFileMessage;

namespace
{
QByteArray toBytes(const std::string &s)
{
    return QByteArray(s.data(), static_cast<int>(s.size()));
}
std::string fromHex(const char *hex)
{
    return QByteArray::fromHex(hex).toStdString();
}
} // namespace

class TestSendFileMessage : public QObject
{
    Q_OBJECT

private slots:
    void descriptorIsRegistered();
    void serialise_data();
    void serialise();
    void utf8IsCheckedInTheNameOnly();
    void unknownFieldsSurvive();
};

void TestSendFileMessage::descriptorIsRegistered()
{
    QCOMPARE(QString::fromStdString(SendFileMessage::descriptor()->full_name()),
             QStringLiteral("com.morvenhal.plovarin.SendFileMessage"));
    QCOMPARE(SendFileMessage::descriptor()->field_count(), 4);
}

void TestSendFileMessage::serialise_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<uint>("part");
    QTest::addColumn<uint>("total");
    QTest::addColumn<QByteArray>("wire");

    QTest::addRow("default is empty") << QString() << QByteArray() << 0u << 0u << QByteArray();
    QTest::addRow("a.wav, part 1 of 3")
        << "a.wav" << QByteArray() << 1u << 3u << QByteArray::fromHex("0A05612E776176180120 03");
    QTest::addRow("part 300") << QString() << QByteArray() << 300u << 0u
                              << QByteArray::fromHex("18AC02");
    QTest::addRow("content") << QString() << QByteArray("\x00\xff", 2) << 0u << 1u
                             << QByteArray::fromHex("120200FF2001");
}

void TestSendFileMessage::serialise()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(uint, part);
    QFETCH(uint, total);
    QFETCH(QByteArray, wire);

    SendFileMessage message;
    message.set_file_name(name.toStdString());
    message.set_file_content(content.toStdString());
    message.set_current_part_number(part);
    message.set_total_part_amount(total);
    QCOMPARE(toBytes(message.SerializeAsString()), wire);

    SendFileMessage parsed;
    QVERIFY(parsed.ParseFromString(wire.toStdString()));
    QCOMPARE(QString::fromStdString(parsed.file_name()), name);
    QCOMPARE(toBytes(parsed.file_content()), content);
    QCOMPARE(parsed.current_part_number(), part);
    QCOMPARE(parsed.total_part_amount(), total);
}

void TestSendFileMessage::utf8IsCheckedInTheNameOnly()
{
    SendFileMessage message;
    QVERIFY(!message.ParseFromString(fromHex("0A01FF")));
    QVERIFY(message.ParseFromString(fromHex("1201FF")));
    QCOMPARE(toBytes(message.file_content()), QByteArray("\xff", 1));
}

void TestSendFileMessage::unknownFieldsSurvive()
{
    // Field 9 (varint 5) and field 10 (bytes "hi") are not in the schema.
    const std::string wire = fromHex("0A01781802"
                                     "4805"
                                     "52026869");
    SendFileMessage message;
    QVERIFY(message.ParseFromString(wire));
    QCOMPARE(QString::fromStdString(message.file_name()), QStringLiteral("x"));
    QCOMPARE(toBytes(message.SerializeAsString()), toBytes(wire));
}

QTEST_GUILESS_MAIN(TestSendFileMessage)
#include "tst_sendfilemessage.moc"
