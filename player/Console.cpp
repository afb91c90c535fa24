#include "Console.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace player
{

namespace
{
// Without a terminal a line every 5 s is enough for a log.
constexpr int kPlainEvery = 5;

bool isTerminalStream(std::FILE *stream)
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}
} // namespace

QString statusText(const StatusFigures &f, int meterWidth)
{
    const QString rejected =
        f.rejected ? QStringLiteral("  rejected %1").arg(f.rejected) : QString();
    if (f.source.isNull()) {
        return f.connected.isNull()
                   ? QStringLiteral("waiting for a sender%1").arg(rejected)
                   : QStringLiteral("sender %1 connected, waiting for its stream%2")
                         .arg(f.connected.toString(), rejected);
    }
    // The meter is in dB over 48 dB, which follows what the ear hears better than the peak.
    const double db = f.peak > 0 ? 20 * std::log10(f.peak) : -100;
    const int lit = int(std::lround(std::clamp((db + 48) / 48, 0.0, 1.0) * meterWidth));
    const QString meter =
        QString(lit, QLatin1Char('#')) + QString(meterWidth - lit, QLatin1Char('-'));
    return QStringLiteral("%1  %2 pkt/s  %3 kbit/s  target %4 ms  delay %5 ms  rate %10 ppm  "
                          "concealed %6  dropped %7  [%8]%9")
        .arg(f.source.toString())
        .arg(f.packetsPerSecond, 0, 'f', 0)
        .arg(f.kilobitsPerSecond, 0, 'f', 1)
        .arg(f.targetMs)
        .arg(f.delayMs, 0, 'f', 0)
        .arg(f.concealed)
        .arg(f.dropped)
        .arg(meter)
        .arg(rejected)
        .arg(QString::asprintf("%+ld", std::lround(f.ratePpm)));
}

Console::Console(std::FILE *out)
    : stream(out)
    , terminal(isTerminalStream(out))
{
}

void Console::message(const QString &text)
{
    const QByteArray line = text.toLocal8Bit();
    if (terminal && statusShown) {
        // Over the status line, which is drawn again below the message.
        std::fprintf(stream, "\r\033[K%s\n%s", line.constData(),
                     lastStatus.toLocal8Bit().constData());
    } else {
        std::fprintf(stream, "%s\n", line.constData());
    }
    std::fflush(stream);
}

void Console::status(const QString &text)
{
    lastStatus = text;
    if (terminal) {
        std::fprintf(stream, "\r\033[K%s", text.toLocal8Bit().constData());
        statusShown = true;
    } else if (updates++ % kPlainEvery == 0) {
        std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
    }
    std::fflush(stream);
}

void Console::finish()
{
    if (terminal && statusShown) {
        std::fprintf(stream, "\n");
        std::fflush(stream);
    }
    statusShown = false;
}

} // namespace player
