#include "WavWriter.h"

#include <QFile>
#include <QFileInfo>

#include <sndfile.h>

namespace player
{

namespace
{
// RIFF sizes are 32 bits and count everything after the first 8 bytes of the file.
constexpr qint64 kMaxRiffBytes = 0xffffffffLL;

// libsndfile words a failing system call as "System error : <the system's text>."; the
// system's text alone is the cause the user needs.
QString errorText(SNDFILE *handle)
{
    QString text = QString::fromLocal8Bit(sf_strerror(handle)).trimmed();
    const QLatin1String systemError("System error : ");
    if (text.startsWith(systemError)) {
        text = text.mid(systemError.size());
        if (text.endsWith(QLatin1Char('.'))) {
            text.chop(1);
        }
    }
    return text;
}
} // namespace

void WavWriter::Closer::operator()(SNDFILE *handle) const
{
    sf_close(handle);
}

WavWriter::WavWriter(int sampleRate)
    : rate(sampleRate)
{
}

WavWriter::~WavWriter()
{
    close();
}

bool WavWriter::open(const QString &path)
{
    close();
    dataBytes = 0;
    error.clear();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
#ifdef Q_OS_WIN
    file.reset(sf_wchar_open(path.toStdWString().c_str(), SFM_WRITE, &info));
#else
    file.reset(sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info));
#endif
    if (!file) {
        error = errorText(nullptr);
        return false;
    }
    // Every write then rewrites the header's sizes: a killed player leaves a complete file.
    sf_command(file.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    // The header is on disk by now; what follows it must keep the RIFF size in 32 bits.
    const qint64 headerBytes = QFileInfo(path).size();
    maxDataBytes = (kMaxRiffBytes - (headerBytes - 8)) & ~qint64(1);
    return true;
}

bool WavWriter::write(const qint16 *samples, int count)
{
    if (!file) {
        return false;
    }
    qint64 frames = count;
    if (dataBytes + frames * 2 > maxDataBytes) {
        frames = (maxDataBytes - dataBytes) / 2;
        error = QStringLiteral("the file has reached the WAV format's size limit");
    }
    const sf_count_t written = sf_write_short(file.get(), samples, frames);
    dataBytes += qMax<sf_count_t>(written, 0) * 2;
    if (written != frames) {
        error = errorText(file.get());
        close();
        return false;
    }
    if (frames < count) {
        close();
        return false;
    }
    return true;
}

void WavWriter::close()
{
    if (file) {
        const int status = sf_close(file.release());
        if (status != SF_ERR_NO_ERROR && error.isEmpty()) {
            error = QString::fromLocal8Bit(sf_error_number(status));
        }
    }
}

} // namespace player
