#include "PongGuard.h"

#include <QTcpSocket>

namespace player
{

namespace
{
// What one read may bring in, and so what one read's pongs may add.
constexpr int kReceiveBufferBytes = 16 * 1024;
} // namespace

void abortWhenPongsPileUp(QTcpSocket *socket, qint64 maxUnsentBytes)
{
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferBytes);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, maxUnsentBytes] {
        if (socket->bytesToWrite() > maxUnsentBytes) {
            socket->abort();
        }
    });
}

} // namespace player
