#ifndef PIPEDEVICE_H
#define PIPEDEVICE_H

#include "ReceiverAddress.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QTimer>
#include <QWebSocket>

struct OpusEncoder;
class QUdpSocket;
class RecordResampler;

// The write-only device the audio input pushes captured PCM into. It keeps the first channel,
// converts to 48000 Hz, cuts 20 ms frames (10 and 5 ms ones for what remains when the audio
// stops), Opus-encodes them and sends each packet as one UDP datagram to the receiver; a
// WebSocket to the receiver tells when it has gone.
class PipeDevice : public QIODevice
{
    Q_OBJECT

public:
    static constexpr quint16 kReceiverUdpPort = 10493;
    static constexpr int kStreamSampleRate = 48000;
    // The receiver is expected to send nothing on the WebSocket: a frame or message longer than
    // this ends the connection.
    static constexpr int kMaxIncomingWebSocketBytes = 4096;

    // How writeData cuts frames. WholeFrames waits for a whole 20 ms frame: fewer packets and
    // less work per second of audio. EarliestFrame encodes the longest frame buffered (at least
    // 5 ms) at every write: the former policy, kept to compare against.
    enum class Framing { WholeFrames, EarliestFrame };

    // encoderRate is the Opus encoder's rate; anything but 48000 is for tests only.
    explicit PipeDevice(QObject *parent = nullptr, int encoderRate = kStreamSampleRate);
    ~PipeDevice() override;

    virtual void stopStreaming();
    virtual void startStreaming();

    void setReceiverIp(const QString &ip);
    void setUdpSocket(QUdpSocket *socket);
    void setChannelCount(int count);
    void setInputSampleRate(int rate);
    void setOutputSampleRate(int rate);
    // The whole format the audio input was opened with: rate, channels and sample layout.
    void setAudioFormat(const QAudioFormat &format);
    // Gain applied to the captured samples, 0.0 to 1.0; 1.0 leaves them untouched.
    void setVolume(qreal volume);
    void setFraming(Framing newFraming) { framing = newFraming; }
    void createResampler();
    // Ends this device's part in streaming for good: nothing buffered is sent any more and
    // nothing written later is buffered. Its WebSocket stays open until it is destroyed.
    void retire();

    bool isStreaming() const { return streaming; }
    // Bytes of 48 kHz mono PCM waiting to be encoded.
    int pendingBytes() const { return pcmBuffer.size(); }
    bool hasEncoder() const { return encoder != nullptr; }

signals:
    void webSocketDisconnected();
    void volumeChanged(quint16 volume);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 len) override;

private:
    void initializeMemberObjects();
    int frameLengthFor(int available) const;
    void encodeAndSend();
    void flushPending();
    void sendPacket(const QByteArray &packet);
    QByteArray resampleBlock(const QByteArray &block);
    void reportWebSocketGone();
    void reportInvalidAddress();

    bool streaming = false;
    bool retired = false;
    QWebSocket webSocket;
    QByteArray pcmBuffer;
    QUdpSocket *udpSocket = nullptr;
    quint16 udpPort = kReceiverUdpPort;
    QString receiverIp;
    ReceiverAddress receiver;
    int outputSampleRate = 16000;
    int inputSampleRate = kStreamSampleRate;
    int encoderSampleRate;
    int frameDurationMs = 20;
    QTimer flushTimer;
    OpusEncoder *encoder = nullptr;
    int channelCount = 1;
    short sampleSize = 2;
    QByteArray monoBlock;
    int targetChannelCount = 1;
    RecordResampler *resampler = nullptr;

    QAudioFormat inputFormat;
    qreal gain = 1.0;
    Framing framing = Framing::WholeFrames;
    bool webSocketGoneReported = false;
    bool invalidAddressReported = false;
    bool unsupportedFormatReported = false;
};

#endif // PIPEDEVICE_H
