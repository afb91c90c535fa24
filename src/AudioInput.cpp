#include "AudioInput.h"

#include "Log.h"
#include "PcmConversion.h"
#include "PipeDevice.h"

#include <QAudioInput>
#include <QUdpSocket>

#include <cmath>

namespace
{
constexpr int kTypeOfService = 184; // DSCP 46, Expedited Forwarding
}

AudioInput::AudioInput(QObject *parent)
    : QObject(parent)
    , udpSocket(new QUdpSocket)
    , sampleRate(PipeDevice::kStreamSampleRate)
{
    udpSocket->setSocketOption(QAbstractSocket::TypeOfServiceOption, kTypeOfService);
    audioFormat = Pcm::signed16Format(sampleRate, 1);
}

AudioInput *AudioInput::instance()
{
    static AudioInput *controller = new AudioInput;
    return controller;
}

void AudioInput::setVolume(const qreal &newVolume)
{
    volume = newVolume;
    if (pipeDevice) {
        pipeDevice->setVolume(volume);
    }
}

void AudioInput::setReceiverIp(const QString &ip)
{
    receiverIp = ip;
}

void AudioInput::setDevice(const QAudioDeviceInfo &newDevice)
{
    device = newDevice;
}

void AudioInput::preparePipeDevice()
{
    // One stream at a time: the previous press's capture ends here, although its objects are
    // deleted only a press later, when no signal of theirs can still be on its way.
    if (audioInput) {
        audioInput->stop();
    }
    if (pipeDevice) {
        pipeDevice->retire();
        disconnect(pipeDevice, nullptr, this, nullptr);
    }

    oldPipeDevices.append(pipeDevice);
    pipeDevice = new PipeDevice;
    connect(pipeDevice, &PipeDevice::webSocketDisconnected, this,
            &AudioInput::webSocketDisconnected);
    pipeDevice->setReceiverIp(receiverIp);
    pipeDevice->setUdpSocket(udpSocket);
    connect(pipeDevice, &PipeDevice::volumeChanged, this, &AudioInput::volumeChanged);
    pipeDevice->setVolume(volume);
    pipeDevice->setFraming(framing);
    if (oldPipeDevices.size() < 2) {
        return;
    }
    QAudioInput *oldestInput = oldAudioInputs.isEmpty() ? nullptr : oldAudioInputs.takeFirst();
    if (oldestInput) {
        oldestInput->stop();
        delete oldestInput;
    }
    PipeDevice *oldestDevice = oldPipeDevices.takeFirst();
    if (oldestDevice) {
        oldestDevice->close();
        delete oldestDevice;
    }
}

bool AudioInput::start()
{
    if (!pipeDevice) {
        return false;
    }
    pipeDevice->open(QIODevice::WriteOnly | QIODevice::Truncate);
    pipeDevice->startStreaming();
    oldAudioInputs.append(audioInput);
    negotiateFormat();
    audioInput = new QAudioInput(device, audioFormat, this);
    connect(audioInput, &QAudioInput::stateChanged, this, &AudioInput::reportAudioStateChange);
    if (device.isNull()) {
        return false;
    }
    const QList<QAudioDeviceInfo> devices = QAudioDeviceInfo::availableDevices(QAudio::AudioInput);
    if (!devices.contains(device)) {
        return false;
    }
    negotiateFormat();
    pipeDevice->setOutputSampleRate(sampleRate);
    pipeDevice->setInputSampleRate(audioFormat.sampleRate());
    pipeDevice->setChannelCount(audioFormat.channelCount());
    // The whole format, so that samples other than 16-bit signed are converted, not misread.
    pipeDevice->setAudioFormat(audioFormat);
    pipeDevice->createResampler();
    if (captureBlockMs > 0) {
        // Qt collects what the sound server hands over once per block. With 20 ms frames, 10 ms
        // blocks take a median of about 30 ms from sink to wire, for less CPU than a GStreamer
        // pipeline doing the same; 20 ms blocks take about 40 ms, and 5 ms blocks save 5 ms for
        // a third more CPU (bench_latency).
        audioInput->setBufferSize(audioFormat.bytesForDuration(captureBlockMs * 1000));
    }
    // QAudioInput::start(QIODevice *): push mode, the input writes into our device.
    audioInput->start(pipeDevice);
    return true;
}

void AudioInput::negotiateFormat()
{
    if (device.isFormatSupported(audioFormat)) {
        return;
    }
    // A device that is gone offers no format at all; keeping that would make every later start
    // negotiate from nothing, and some devices then answer with 8000 Hz.
    const QAudioFormat nearest = device.nearestFormat(audioFormat);
    if (nearest.isValid()) {
        audioFormat = nearest;
    }
}

void AudioInput::reportAudioStateChange(QAudio::State newState)
{
    LOG_LINE() << ", new state: " << newState << ", error: " << audioInput->error()
               << ", audio: " << static_cast<const void *>(audioInput);
}
