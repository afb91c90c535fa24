#include "Log.h"

#include <atomic>
#include <iostream>

namespace
{
std::atomic<bool> logLinesEnabled{true};
} // namespace

void setLogLinesEnabled(bool enabled)
{
    logLinesEnabled.store(enabled);
}

LogLine::LogLine(const char *file, int line, const char *function)
{
    stream << file << ", " << line << ", " << function;
}

LogLine::~LogLine()
{
    if (logLinesEnabled.load()) {
        stream << '\n';
        std::cout << stream.str() << std::flush;
    }
}

LogLine &LogLine::operator<<(const QString &text)
{
    stream << text.toUtf8().constData();
    return *this;
}

LogLine &LogLine::operator<<(const QByteArray &bytes)
{
    stream.write(bytes.constData(), bytes.size());
    return *this;
}

LogLine &LogLine::operator<<(const char *text)
{
    stream << (text ? text : "");
    return *this;
}

LogLine &LogLine::operator<<(const std::string &text)
{
    stream << text;
    return *this;
}

LogLine &LogLine::operator<<(bool value)
{
    stream << (value ? 1 : 0);
    return *this;
}
