#ifndef QRCODE_H
#define QRCODE_H

#include <QByteArray>
#include <QString>

#include <vector>

// A QR code of a short text (libqrencode), for a terminal or a picture.
class QrCode
{
public:
    // Light modules on every side that a reader needs to find the code.
    static constexpr int kQuietZone = 4;

    // Encodes text; isNull() with errorString() when it cannot.
    explicit QrCode(const QByteArray &text);

    bool isNull() const { return width == 0; }
    QString errorString() const { return error; }
    // Modules per side, without the quiet zone.
    int size() const { return width; }
    bool isDark(int x, int y) const;
    // Two rows of modules per line with Unicode half blocks, in black on white whatever the
    // terminal's own colours, inside the quiet zone a reader needs.
    QString toTerminalText() const;

private:
    int width = 0;
    std::vector<bool> modules;
    QString error;
};

#endif // QRCODE_H
