#include "PipeDevice.h"

#include "Log.h"
#include "PcmConversion.h"
#include "RecordResampler.h"

#include <QHostAddress>
#include <QUdpSocket>
#include <QUrl>
#include <QWebSocketProtocol>

#include <opus.h>

#include <algorithm>
#include <cmath>

namespace
{
constexpr int kTypeOfService = 184; // DSCP 46, Expedited Forwarding
constexpr int kResamplerOutputFrames = RecordResampler::kOutputCapacityBytes / 2;
// Kept free of the output limit so that speexdsp always consumes a whole piece.
constexpr int kResamplerOutputMargin = 8;
// While less than a whole frame is buffered, the flush timer waits this many frame durations
// after the last write before it sends the rest as shorter frames: sound servers hand audio
// over in bursts of small pieces, and a burst that comes a little late must not split a frame.
constexpr int kAudioStoppedFrames = 2;
} // namespace

PipeDevice::PipeDevice(QObject *parent, int encoderRate)
    : QIODevice(parent)
    , webSocket(QString(), QWebSocketProtocol::VersionLatest, nullptr)
    , encoderSampleRate(encoderRate)
    , inputFormat(Pcm::signed16Format(kStreamSampleRate, 1))
{
    initializeMemberObjects();
}

void PipeDevice::initializeMemberObjects()
{
    LOG_LINE();
    LOG_LINE();
    int error = OPUS_OK;
    encoder = opus_encoder_create(encoderSampleRate, 1, OPUS_APPLICATION_AUDIO, &error);
    if (!encoder || error != OPUS_OK) {
        LOG_LINE() << ", opus encoder not created, nothing will be sent: " << opus_strerror(error);
        if (encoder) {
            opus_encoder_destroy(encoder);
            encoder = nullptr;
        }
    }
    LOG_LINE();
    flushTimer.setInterval(frameDurationMs);
    flushTimer.setSingleShot(true);
    LOG_LINE();
    // Qt closes the connection (close code 1009) when a frame or message exceeds these.
    webSocket.setMaxAllowedIncomingFrameSize(kMaxIncomingWebSocketBytes);
    webSocket.setMaxAllowedIncomingMessageSize(kMaxIncomingWebSocketBytes);
    // A refused connection ends with an error and no disconnected; both mean the receiver is gone.
    connect(&webSocket, &QWebSocket::disconnected, this, &PipeDevice::reportWebSocketGone);
    connect(&webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError) {
                if (webSocket.state() == QAbstractSocket::UnconnectedState) {
                    reportWebSocketGone();
                }
            });
    connect(&flushTimer, &QTimer::timeout, this, &PipeDevice::flushPending);
}

PipeDevice::~PipeDevice()
{
    // The connection ends with the device; that is not the receiver going away.
    disconnect(&webSocket, nullptr, this, nullptr);
    webSocket.abort();
    if (encoder) {
        opus_encoder_destroy(encoder);
    }
    delete resampler;
}

void PipeDevice::reportWebSocketGone()
{
    if (webSocketGoneReported) {
        return;
    }
    webSocketGoneReported = true;
    if (webSocket.closeCode() != QWebSocketProtocol::CloseCodeNormal) {
        LOG_LINE() << ", WebSocket closed, close code: " << webSocket.closeCode()
                   << ", reason: " << webSocket.closeReason();
    }
    emit webSocketDisconnected();
}

void PipeDevice::stopStreaming()
{
    streaming = false;
}

void PipeDevice::retire()
{
    retired = true;
    streaming = false;
    flushTimer.stop();
    pcmBuffer.clear();
}

void PipeDevice::startStreaming()
{
    if (retired) {
        return;
    }
    streaming = true;
    if (!receiver.isValid()) {
        // No connection is tried, and it fails as a refused one does: later, and once.
        reportInvalidAddress();
        QMetaObject::invokeMethod(this, &PipeDevice::reportWebSocketGone, Qt::QueuedConnection);
        return;
    }
    const QString url = tr("ws://%1:14213").arg(receiver.urlHost(), 0, QLatin1Char(' '));
    webSocket.open(QUrl(url, QUrl::TolerantMode));
}

void PipeDevice::setReceiverIp(const QString &ip)
{
    receiverIp = ip;
    receiver = ReceiverAddress(ip);
}

void PipeDevice::reportInvalidAddress()
{
    if (invalidAddressReported) {
        return;
    }
    invalidAddressReported = true;
    LOG_LINE() << ", no valid receiver ip, nothing is sent: " << receiverIp
               << ", reason: " << receiver.whyRefused();
}

void PipeDevice::setUdpSocket(QUdpSocket *socket)
{
    udpSocket = socket;
    if (!udpSocket) {
        return;
    }
    // A socket still connected to an earlier receiver would ignore the new connect request.
    if (udpSocket->state() != QAbstractSocket::UnconnectedState) {
        udpSocket->abort();
    }
    if (receiver.isValid()) {
        udpSocket->connectToHost(receiver.address(), udpPort, QIODevice::ReadWrite);
    }
    udpSocket->setSocketOption(QAbstractSocket::TypeOfServiceOption, kTypeOfService);
    const int typeOfService = udpSocket->socketOption(QAbstractSocket::TypeOfServiceOption).toInt();
    LOG_LINE() << ", socket option: " << typeOfService << ", state: " << udpSocket->state()
               << ", receiver ip: " << receiverIp << ", port: " << udpPort;
}

void PipeDevice::setChannelCount(int count)
{
    channelCount = count;
    inputFormat.setChannelCount(count);
}

void PipeDevice::setInputSampleRate(int rate)
{
    inputSampleRate = rate;
    inputFormat.setSampleRate(rate);
}

void PipeDevice::setOutputSampleRate(int rate)
{
    outputSampleRate = rate;
}

void PipeDevice::setAudioFormat(const QAudioFormat &format)
{
    inputFormat = format;
    inputSampleRate = format.sampleRate();
    channelCount = format.channelCount();
    unsupportedFormatReported = false;
    if (!Pcm::canConvert(format)) {
        LOG_LINE() << ", unsupported capture format, nothing will be sent: "
                   << Pcm::describe(format);
        unsupportedFormatReported = true;
    }
}

void PipeDevice::setVolume(qreal volume)
{
    if (std::isnan(volume)) {
        LOG_LINE() << ", volume ignored: " << volume;
        return;
    }
    gain = std::clamp<qreal>(volume, 0.0, 1.0);
}

void PipeDevice::createResampler()
{
    delete resampler;
    resampler = new RecordResampler(inputSampleRate, outputSampleRate, 1);
}

qint64 PipeDevice::readData(char *data, qint64 maxSize)
{
    Q_UNUSED(data)
    Q_UNUSED(maxSize)
    return 0;
}

qint64 PipeDevice::writeData(const char *data, qint64 len)
{
    QByteArray samples = Pcm::toSigned16(data, len, inputFormat);
    if (samples.isEmpty() && len > 0 && !Pcm::canConvert(inputFormat) &&
        !unsupportedFormatReported) {
        LOG_LINE() << ", unsupported capture format, nothing will be sent: "
                   << Pcm::describe(inputFormat);
        unsupportedFormatReported = true;
    }
    QByteArray block = Pcm::firstChannel(samples, channelCount);
    Pcm::applyGain(block, gain);
    monoBlock = block;

    if (inputSampleRate != outputSampleRate && !block.isEmpty()) {
        if (!resampler) {
            createResampler();
        }
        monoBlock = resampleBlock(block);
    }

    if (streaming && encoder && receiver.isValid()) {
        pcmBuffer.append(monoBlock);
        const int wholeFrame = frameDurationMs * (2 * encoderSampleRate / 1000);
        if (framing == Framing::EarliestFrame) {
            if (frameLengthFor(pcmBuffer.size()) != 0) {
                encodeAndSend();
            }
        } else {
            if (pcmBuffer.size() >= wholeFrame) {
                encodeAndSend();
            }
            if (pcmBuffer.size() < wholeFrame) {
                flushTimer.start(kAudioStoppedFrames * frameDurationMs);
            }
        }
    }
    emit volumeChanged(Pcm::peakLevel(block));
    return len;
}

QByteArray PipeDevice::resampleBlock(const QByteArray &block)
{
    // One resampler call yields at most 2500 frames, so a long block goes through in pieces
    // whose output fits; the resampler's history carries over from piece to piece.
    const qint64 fitting = static_cast<qint64>(kResamplerOutputFrames - kResamplerOutputMargin) *
                           inputSampleRate / std::max(outputSampleRate, 1);
    const int pieceFrames = static_cast<int>(std::clamp<qint64>(fitting, 1, 1 << 20));
    const int totalFrames = block.size() / sampleSize;

    QByteArray result;
    result.reserve(static_cast<int>(static_cast<qint64>(totalFrames) * outputSampleRate /
                                    std::max(inputSampleRate, 1)) +
                   64);
    QByteArray piece;
    for (int first = 0; first < totalFrames; first += pieceFrames) {
        const int frames = std::min(pieceFrames, totalFrames - first);
        const int bytes = frames * sampleSize;
        piece.resize(std::max(bytes, RecordResampler::kOutputCapacityBytes));
        std::copy_n(block.constData() + first * sampleSize, bytes, piece.data());
        qint64 produced = 0;
        if (resampler->resample(piece.data(), frames, &produced, sampleSize) && produced > 0) {
            result.append(piece.constData(), static_cast<int>(produced) * sampleSize);
        } else {
            result.append(block.constData() + first * sampleSize, bytes);
        }
    }
    return result;
}

int PipeDevice::frameLengthFor(int available) const
{
    static const int durationsMs[] = {60, 40, 20, 10, 5};
    for (const int duration : durationsMs) {
        if (duration > frameDurationMs) {
            continue;
        }
        const int bytes = duration * (2 * encoderSampleRate / 1000);
        if (bytes <= available) {
            return bytes;
        }
    }
    return 0;
}

void PipeDevice::encodeAndSend()
{
    const int n = frameLengthFor(pcmBuffer.size());
    if (n == 0 || !encoder) {
        return;
    }
    QByteArray scratch(2 * n, '\0');
    const int result =
        opus_encode(encoder, reinterpret_cast<const opus_int16 *>(pcmBuffer.constData()), n / 2,
                    reinterpret_cast<unsigned char *>(scratch.data()), 2 * n);
    const QByteArray packet = result > 0 ? scratch.left(result) : QByteArray();
    pcmBuffer.remove(0, n);
    sendPacket(packet);
    flushTimer.setInterval(frameDurationMs);
    flushTimer.start();
}

void PipeDevice::flushPending()
{
    if (!retired && frameLengthFor(pcmBuffer.size()) != 0) {
        encodeAndSend();
    }
}

void PipeDevice::sendPacket(const QByteArray &packet)
{
    const QHostAddress address = receiver.address();
    if (address.isNull()) {
        reportInvalidAddress();
        return;
    }
    if (!udpSocket) {
        return;
    }
    // Some platforms refuse an addressed send on a connected socket; QIODevice::write sends
    // nothing for an empty packet, which must still go out as a lost frame.
    if (!packet.isEmpty() && udpSocket->state() == QAbstractSocket::ConnectedState &&
        udpSocket->peerAddress() == address && udpSocket->peerPort() == udpPort) {
        udpSocket->write(packet);
    } else {
        udpSocket->writeDatagram(packet, address, udpPort);
    }
}
