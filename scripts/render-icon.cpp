// Renders the window icon, a microphone sending sound waves, as a square RGBA PNG: 256 pixels
// wide by default, or SIZE (the desktop's icon theme wants several).
// Usage: render-icon OUTPUT.png [SIZE]
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

#include <cstdio>
#include <cstdlib>

namespace
{
// The drawing's own coordinates; other sizes scale it, so small icons stay sharp.
constexpr int kDesignSize = 256;
constexpr int kMaxSize = 1024;
} // namespace

int main(int argc, char *argv[])
{
    const int size = argc == 3 ? std::atoi(argv[2]) : kDesignSize;
    if (argc < 2 || argc > 3 || size < 1 || size > kMaxSize) {
        std::fprintf(stderr, "usage: render-icon OUTPUT.png [SIZE from 1 to %d]\n", kMaxSize);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);

    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(qreal(size) / kDesignSize, qreal(size) / kDesignSize);

    // Round badge behind the microphone.
    QLinearGradient badge(0, 0, 0, 256);
    badge.setColorAt(0.0, QColor(0x2f, 0x80, 0xed));
    badge.setColorAt(1.0, QColor(0x1b, 0x4f, 0xa8));
    painter.setPen(Qt::NoPen);
    painter.setBrush(badge);
    painter.drawEllipse(QRectF(8, 8, 240, 240));

    // Capsule.
    QLinearGradient metal(96, 0, 160, 0);
    metal.setColorAt(0.0, QColor(0xf4, 0xf6, 0xfa));
    metal.setColorAt(1.0, QColor(0xc9, 0xd1, 0xde));
    painter.setBrush(metal);
    painter.drawRoundedRect(QRectF(98, 44, 60, 104), 30, 30);
    painter.setPen(QPen(QColor(0x1b, 0x4f, 0xa8), 4, Qt::SolidLine, Qt::RoundCap));
    for (int y = 70; y <= 118; y += 16) {
        painter.drawLine(QPointF(110, y), QPointF(146, y));
    }

    // Holder, stem and foot.
    const QPen white(Qt::white, 10, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(white);
    painter.setBrush(Qt::NoBrush);
    QPainterPath holder;
    holder.moveTo(82, 110);
    holder.arcTo(QRectF(82, 78, 92, 92), 180, 180);
    painter.drawPath(holder);
    painter.drawLine(QPointF(128, 170), QPointF(128, 200));
    painter.drawLine(QPointF(100, 204), QPointF(156, 204));

    // Waves on both sides: the sound leaves the computer.
    painter.setPen(QPen(QColor(255, 255, 255, 200), 8, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 2; ++i) {
        const qreal radius = 70 + 24 * i;
        const QRectF arc(128 - radius, 96 - radius, 2 * radius, 2 * radius);
        painter.drawArc(arc, -35 * 16, 70 * 16);
        painter.drawArc(arc, 145 * 16, 70 * 16);
    }
    painter.end();

    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "render-icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
