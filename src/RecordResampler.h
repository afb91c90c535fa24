#ifndef RECORDRESAMPLER_H
#define RECORDRESAMPLER_H

#include <QObject>

struct SpeexResamplerState_;
typedef struct SpeexResamplerState_ SpeexResamplerState;

// Converts blocks of 16-bit PCM from the capture rate to the stream rate, in place, with the
// speexdsp resampler. One call produces at most kOutputCapacityBytes of output.
class RecordResampler : public QObject
{
    Q_OBJECT

public:
    static constexpr int kOutputCapacityBytes = 5000;

    RecordResampler(int inputRate, int outputRate, int channels, QObject *parent = nullptr);
    ~RecordResampler() override;

    // Converts inputFrames frames of data in place; data must have room for
    // kOutputCapacityBytes. Returns false, leaving data and outputFrames untouched, when the
    // resampler cannot be created, inputFrames is 0 or the conversion fails.
    bool resample(char *data, int inputFrames, qint64 *outputFrames, short sampleSize);

    // Whether the speexdsp state has been created (it is, on the first resample call).
    bool hasState() const { return resamplerState != nullptr; }

private:
    int outputSampleRate;
    int inputSampleRate;
    int channelCount;
    int quality = 10;
    char *workBuffer;
    SpeexResamplerState *resamplerState = nullptr;
};

#endif // RECORDRESAMPLER_H
