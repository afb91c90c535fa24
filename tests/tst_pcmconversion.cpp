#include "PcmConversion.h"

#include <QtEndian>
#include <QtTest>

#include <cstring>

namespace
{

QAudioFormat format(int bits, QAudioFormat::SampleType type, QAudioFormat::Endian order,
                    int channels = 1)
{
    QAudioFormat f;
    f.setSampleRate(48000);
    f.setChannelCount(channels);
    f.setSampleSize(bits);
    f.setSampleType(type);
    f.setByteOrder(order);
    f.setCodec(QStringLiteral("audio/pcm"));
    return f;
}

QByteArray samples16(std::initializer_list<qint16> values)
{
    QByteArray out;
    for (const qint16 v : values) {
        out.append(reinterpret_cast<const char *>(&v), 2);
    }
    return out;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int v : values) {
        out.append(static_cast<char>(v));
    }
    return out;
}

QByteArray floats(std::initializer_list<float> values, bool bigEndian)
{
    QByteArray out;
    for (const float v : values) {
        quint32 bits;
        std::memcpy(&bits, &v, 4);
        uchar b[4];
        if (bigEndian) {
            qToBigEndian(bits, b);
        } else {
            qToLittleEndian(bits, b);
        }
        out.append(reinterpret_cast<const char *>(b), 4);
    }
    return out;
}

} // namespace

class TestPcmConversion : public QObject
{
    Q_OBJECT

private slots:
    void toSigned16_data();
    void toSigned16();
    void unsupportedFormats_data();
    void unsupportedFormats();
    void firstChannel_data();
    void firstChannel();
    void gain_data();
    void gain();
};

void TestPcmConversion::toSigned16_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const auto LE = QAudioFormat::LittleEndian;
    const auto BE = QAudioFormat::BigEndian;
    QTest::addRow("s16le unchanged")
        << format(16, QAudioFormat::SignedInt, LE) << samples16({0, 1, -1, 32767, -32768})
        << samples16({0, 1, -1, 32767, -32768});
    QTest::addRow("s16be swapped")
        << format(16, QAudioFormat::SignedInt, BE) << bytes({0x12, 0x34, 0x80, 0x00, 0xff, 0xff})
        << samples16({0x1234, -32768, -1});
    QTest::addRow("u8") << format(8, QAudioFormat::UnSignedInt, LE) << bytes({0, 128, 255})
                        << samples16({-32768, 0, 32512});
    QTest::addRow("s8") << format(8, QAudioFormat::SignedInt, LE) << bytes({0x80, 0, 0x7f})
                        << samples16({-32768, 0, 32512});
    QTest::addRow("u16le") << format(16, QAudioFormat::UnSignedInt, LE)
                           << bytes({0x00, 0x00, 0x00, 0x80, 0xff, 0xff})
                           << samples16({-32768, 0, 32767});
    QTest::addRow("s32le") << format(32, QAudioFormat::SignedInt, LE)
                           << bytes({0, 0, 0x34, 0x12, 0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0x80})
                           << samples16({0x1234, 32767, -32768});
    QTest::addRow("s32be") << format(32, QAudioFormat::SignedInt, BE) << bytes({0x12, 0x34, 0, 0})
                           << samples16({0x1234});
    QTest::addRow("f32le") << format(32, QAudioFormat::Float, LE)
                           << floats({0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f}, false)
                           << samples16({0, 16384, -16384, 32767, -32768, 32767});
    QTest::addRow("f32be") << format(32, QAudioFormat::Float, BE) << floats({0.25f}, true)
                           << samples16({8192});
    QTest::addRow("partial sample dropped")
        << format(32, QAudioFormat::Float, LE) << floats({0.5f}, false) + bytes({1, 2})
        << samples16({16384});
}

void TestPcmConversion::toSigned16()
{
    QFETCH(QAudioFormat, format);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QVERIFY(Pcm::canConvert(format));
    QCOMPARE(Pcm::toSigned16(input.constData(), input.size(), format), expected);
}

void TestPcmConversion::unsupportedFormats_data()
{
    QTest::addColumn<QAudioFormat>("format");
    const auto LE = QAudioFormat::LittleEndian;
    QTest::addRow("24-bit") << format(24, QAudioFormat::SignedInt, LE);
    QTest::addRow("64-bit float") << format(64, QAudioFormat::Float, LE);
    QTest::addRow("unknown type") << format(16, QAudioFormat::Unknown, LE);
    QTest::addRow("no channels") << format(16, QAudioFormat::SignedInt, LE, 0);
    QAudioFormat compressed = format(16, QAudioFormat::SignedInt, LE);
    compressed.setCodec(QStringLiteral("audio/x-raw-other"));
    QTest::addRow("other codec") << compressed;
}

void TestPcmConversion::unsupportedFormats()
{
    QFETCH(QAudioFormat, format);
    QVERIFY(!Pcm::canConvert(format));
    const QByteArray input(64, '\x5a');
    QVERIFY(Pcm::toSigned16(input.constData(), input.size(), format).isEmpty());
}

void TestPcmConversion::firstChannel_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addRow("mono") << 1 << samples16({1, 2, 3}) << samples16({1, 2, 3});
    QTest::addRow("stereo, two frames") << 2 << samples16({1, 2, 3, 4}) << samples16({1, 3});
    QTest::addRow("six channels") << 6 << samples16({7, 0, 0, 0, 0, 0, 8, 1, 1, 1, 1, 1})
                                  << samples16({7, 8});
    QTest::addRow("partial frame dropped") << 2 << samples16({1, 2, 3}) << samples16({1});
}

void TestPcmConversion::firstChannel()
{
    QFETCH(int, channels);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(Pcm::firstChannel(input, channels), expected);
}

void TestPcmConversion::gain_data()
{
    QTest::addColumn<double>("gain");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("peak");

    const QByteArray extremes = samples16({0, 1, -1, 12345, 32767, -32768});
    QTest::addRow("1.0 is bit-exact") << 1.0 << extremes << extremes << 32767;
    QTest::addRow("0.0 is silence") << 0.0 << extremes << samples16({0, 0, 0, 0, 0, 0}) << 0;
    QTest::addRow("0.5 halves") << 0.5 << samples16({20000, -20000, 3})
                                << samples16({10000, -10000, 2}) << 10000;
    QTest::addRow("0.37") << 0.37 << samples16({10000, -32768}) << samples16({3700, -12124})
                          << 12124;
    QTest::addRow("above 1 changes nothing") << 1.5 << extremes << extremes << 32767;
}

void TestPcmConversion::gain()
{
    QFETCH(double, gain);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QFETCH(int, peak);
    QByteArray samples = input;
    Pcm::applyGain(samples, gain);
    QCOMPARE(samples, expected);
    QCOMPARE(int(Pcm::peakLevel(samples)), peak);
}

QTEST_GUILESS_MAIN(TestPcmConversion)
#include "tst_pcmconversion.moc"
