#include "RecordResampler.h"

#include <speex/speex_resampler.h>

#include <cstring>

namespace
{
constexpr int kWorkBufferBytes = 2 * RecordResampler::kOutputCapacityBytes;
}

RecordResampler::RecordResampler(int inputRate, int outputRate, int channels, QObject *parent)
    : QObject(parent)
    , outputSampleRate(outputRate)
    , inputSampleRate(inputRate)
    , channelCount(channels)
    , workBuffer(new char[kWorkBufferBytes])
{
    std::memset(workBuffer, 0, kOutputCapacityBytes);
}

RecordResampler::~RecordResampler()
{
    delete[] workBuffer;
    if (resamplerState) {
        speex_resampler_destroy(resamplerState);
    }
}

bool RecordResampler::resample(char *data, int inputFrames, qint64 *outputFrames, short sampleSize)
{
    if (!resamplerState) {
        int error = -1;
        resamplerState = speex_resampler_init(
            static_cast<spx_uint32_t>(channelCount), static_cast<spx_uint32_t>(inputSampleRate),
            static_cast<spx_uint32_t>(outputSampleRate), quality, &error);
        if (!resamplerState || error != RESAMPLER_ERR_SUCCESS) {
            if (resamplerState) {
                speex_resampler_destroy(resamplerState);
                resamplerState = nullptr;
            }
            return false;
        }
    }
    if (inputFrames <= 0 || sampleSize <= 0) {
        return false;
    }
    std::memset(workBuffer, 0, kOutputCapacityBytes);
    spx_uint32_t inputCount = static_cast<spx_uint32_t>(inputFrames);
    spx_uint32_t outputCount = static_cast<spx_uint32_t>(kOutputCapacityBytes / sampleSize);
    const int result = speex_resampler_process_interleaved_int(
        resamplerState, reinterpret_cast<const spx_int16_t *>(data), &inputCount,
        reinterpret_cast<spx_int16_t *>(workBuffer), &outputCount);
    if (result != RESAMPLER_ERR_SUCCESS) {
        return false;
    }
    std::memcpy(data, workBuffer, static_cast<size_t>(sampleSize) * outputCount);
    *outputFrames = static_cast<qint64>(outputCount);
    return true;
}
