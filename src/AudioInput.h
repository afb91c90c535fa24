#ifndef AUDIOINPUT_H
#define AUDIOINPUT_H

#include "PipeDevice.h"

#include <QAudio>
#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QList>
#include <QObject>
#include <QString>

class QAudioInput;
class QUdpSocket;

// The one capture controller of the process: opens the chosen input device, makes the audio
// input and the pipe device of each start, and retires those of earlier starts.
class AudioInput : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultCaptureBlockMs = 10;

    explicit AudioInput(QObject *parent = nullptr);

    static AudioInput *instance();

    // The gain of the stream, 0.0 to 1.0; applies to the running stream at once.
    void setVolume(const qreal &volume);
    void setReceiverIp(const QString &ip);
    void setDevice(const QAudioDeviceInfo &device);
    void preparePipeDevice();
    bool start();
    // How much audio the sound server hands over at a time, in ms; 0 leaves it to the server.
    void setCaptureBlockMs(int ms) { captureBlockMs = ms; }
    // How the pipe devices of later starts cut frames.
    void setFraming(PipeDevice::Framing newFraming) { framing = newFraming; }

    PipeDevice *currentPipeDevice() const { return pipeDevice; }
    QAudioInput *currentAudioInput() const { return audioInput; }
    qreal currentVolume() const { return volume; }
    QString currentReceiverIp() const { return receiverIp; }
    QAudioDeviceInfo currentDevice() const { return device; }
    QAudioFormat currentFormat() const { return audioFormat; }
    QUdpSocket *socket() const { return udpSocket; }

signals:
    void volumeChanged(quint16 volume);
    void webSocketDisconnected();

private:
    void negotiateFormat();
    void reportAudioStateChange(QAudio::State newState);

    QUdpSocket *udpSocket;
    QString receiverIp;
    int sampleRate;
    QAudioFormat audioFormat;
    qreal volume = 1.0;
    QAudioDeviceInfo device;
    QList<QAudioInput *> oldAudioInputs;
    QList<PipeDevice *> oldPipeDevices;
    PipeDevice *pipeDevice = nullptr;
    QAudioInput *audioInput = nullptr;
    int captureBlockMs = kDefaultCaptureBlockMs;
    PipeDevice::Framing framing = PipeDevice::Framing::WholeFrames;
};

#endif // AUDIOINPUT_H
