#include "RecordResampler.h"
#include "Signal.h"

#include <QtTest>

class TestResampler : public QObject
{
    Q_OBJECT

private slots:
    void stateIsCreatedOnFirstUse();
    void lengthFollowsTheRateRatio_data();
    void lengthFollowsTheRateRatio();
    void outputIsCappedAt2500Frames();
    void badRatesAreRefused();
};

void TestResampler::stateIsCreatedOnFirstUse()
{
    RecordResampler resampler(44100, 48000, 1);
    QVERIFY(!resampler.hasState());
    QByteArray data(RecordResampler::kOutputCapacityBytes, '\0');
    qint64 frames = -7;
    QVERIFY(!resampler.resample(data.data(), 0, &frames, 2));
    QVERIFY(resampler.hasState());
    QCOMPARE(frames, qint64(-7));
}

void TestResampler::lengthFollowsTheRateRatio_data()
{
    QTest::addColumn<int>("inputRate");
    QTest::addColumn<int>("blockFrames");

    QTest::addRow("44100 to 48000, 10 ms") << 44100 << 441;
    QTest::addRow("44100 to 48000, 50 ms") << 44100 << 2205;
    QTest::addRow("96000 to 48000, 20 ms") << 96000 << 1920;
    QTest::addRow("16000 to 48000, 20 ms") << 16000 << 320;
}

void TestResampler::lengthFollowsTheRateRatio()
{
    QFETCH(int, inputRate);
    QFETCH(int, blockFrames);

    RecordResampler resampler(inputRate, 48000, 1);
    const QByteArray input = Signal::sine16(inputRate, blockFrames * 20, {1000.0}, 8000);
    qint64 total = 0;
    for (int block = 0; block < 20; ++block) {
        QByteArray data(RecordResampler::kOutputCapacityBytes, '\0');
        std::copy_n(input.constData() + block * blockFrames * 2, blockFrames * 2, data.data());
        qint64 frames = 0;
        QVERIFY(resampler.resample(data.data(), blockFrames, &frames, 2));
        QVERIFY(frames <= 2500);
        total += frames;
    }
    const qint64 expected = qint64(blockFrames) * 20 * 48000 / inputRate;
    // The filter's delay holds back a few frames at the start of the stream.
    QVERIFY2(qAbs(total - expected) <= 200,
             qPrintable(QStringLiteral("%1 frames, expected %2").arg(total).arg(expected)));
}

void TestResampler::outputIsCappedAt2500Frames()
{
    RecordResampler resampler(44100, 48000, 1);
    const int frames = 4410; // 100 ms would give 4800 frames
    QByteArray data = Signal::sine16(44100, frames, {1000.0}, 8000);
    data.resize(std::max(data.size(), RecordResampler::kOutputCapacityBytes));
    qint64 produced = 0;
    QVERIFY(resampler.resample(data.data(), frames, &produced, 2));
    QCOMPARE(produced, qint64(2500));
}

void TestResampler::badRatesAreRefused()
{
    RecordResampler resampler(0, 48000, 1);
    QByteArray data(RecordResampler::kOutputCapacityBytes, '\x11');
    const QByteArray before = data;
    qint64 frames = -1;
    QVERIFY(!resampler.resample(data.data(), 100, &frames, 2));
    QVERIFY(!resampler.hasState());
    QCOMPARE(data, before);
    QCOMPARE(frames, qint64(-1));
}

QTEST_GUILESS_MAIN(TestResampler)
#include "tst_resampler.moc"
