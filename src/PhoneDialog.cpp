#include "PhoneDialog.h"

#include "Log.h"

#include <QDialogButtonBox>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "QrCode.h"

#include <algorithm>

namespace
{
// Large enough for a phone's camera held at arm's length from the screen.
constexpr int kModulePixels = 6;

// The QR code of text, black on white inside its quiet zone; null when it cannot be encoded.
QImage qrImage(const QByteArray &text, int moduleSize)
{
    const QrCode code(text);
    if (code.isNull()) {
        return QImage();
    }
    const int side = (code.size() + 2 * QrCode::kQuietZone) * moduleSize;
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    for (int y = 0; y < code.size(); ++y) {
        for (int x = 0; x < code.size(); ++x) {
            if (code.isDark(x, y)) {
                for (int dy = 0; dy < moduleSize; ++dy) {
                    uchar *line = image.scanLine((y + QrCode::kQuietZone) * moduleSize + dy);
                    std::fill_n(line + (x + QrCode::kQuietZone) * moduleSize, moduleSize, uchar(0));
                }
            }
        }
    }
    return image;
}
} // namespace

PhoneDialog::PhoneDialog(const QString &pageUrl, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Listen on a phone"));
    auto *layout = new QVBoxLayout(this);
    auto *address =
        new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(pageUrl.toHtmlEscaped()), this);
    address->setObjectName(QStringLiteral("pageAddresslabel"));
    address->setAlignment(Qt::AlignCenter);
    address->setTextInteractionFlags(Qt::TextBrowserInteraction);
    address->setOpenExternalLinks(true);
    auto *code = new QLabel(this);
    code->setObjectName(QStringLiteral("qrCodelabel"));
    code->setAlignment(Qt::AlignCenter);
    const QImage image = qrImage(pageUrl.toUtf8(), kModulePixels);
    if (image.isNull()) {
        LOG_LINE() << ", no QR code for: " << pageUrl;
    } else {
        code->setPixmap(QPixmap::fromImage(image));
    }
    auto *hint = new QLabel(
        tr("Scan the code with the phone's camera, or type the address into its browser, "
           "and press Play on the page. The phone must be on the same network."),
        this);
    hint->setObjectName(QStringLiteral("phoneHintlabel"));
    hint->setWordWrap(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    // Qt's own translations are not shipped, so the button's text is ours.
    buttons->button(QDialogButtonBox::Close)->setText(tr("Close"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(address);
    layout->addWidget(code);
    layout->addWidget(hint);
    layout->addWidget(buttons);
}
