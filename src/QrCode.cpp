#include "QrCode.h"

#include <qrencode.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace
{
// Bright white and black, set explicitly: a dark terminal's default foreground is light.
constexpr int kDarkForeground = 30;
constexpr int kLightForeground = 97;
constexpr int kDarkBackground = 40;
constexpr int kLightBackground = 107;

struct QrCodeFree {
    void operator()(QRcode *code) const { QRcode_free(code); }
};
} // namespace

QrCode::QrCode(const QByteArray &text)
{
    // Medium error correction: a phone's camera reads it off a screen at an angle.
    const std::unique_ptr<QRcode, QrCodeFree> code(
        QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M));
    if (!code) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    width = code->width;
    modules.resize(std::size_t(width) * std::size_t(width));
    for (std::size_t i = 0; i < modules.size(); ++i) {
        // The lowest bit of each byte is the module's colour; the others say what it is part of.
        modules[i] = code->data[i] & 1;
    }
}

bool QrCode::isDark(int x, int y) const
{
    return x >= 0 && y >= 0 && x < width && y < width &&
           modules[std::size_t(y) * std::size_t(width) + std::size_t(x)];
}

QString QrCode::toTerminalText() const
{
    QString text;
    for (int y = -kQuietZone; y < width + kQuietZone; y += 2) {
        for (int x = -kQuietZone; x < width + kQuietZone; ++x) {
            // The upper half block in the foreground colour, the lower row as its background.
            text += QStringLiteral("\033[%1;%2m\u2580")
                        .arg(isDark(x, y) ? kDarkForeground : kLightForeground)
                        .arg(isDark(x, y + 1) ? kDarkBackground : kLightBackground);
        }
        text += QStringLiteral("\033[0m\n");
    }
    return text;
}
