#ifndef LOG_H
#define LOG_H

#include <QByteArray>
#include <QString>

#include <sstream>
#include <string>
#include <type_traits>

// One diagnostic line on standard output: "file, line, function" followed by labelled values.
// The line is assembled first and written in one piece, so lines never interleave.
class LogLine
{
public:
    LogLine(const char *file, int line, const char *function);
    ~LogLine();
    LogLine(const LogLine &) = delete;
    LogLine &operator=(const LogLine &) = delete;

    LogLine &operator<<(const QString &text);
    LogLine &operator<<(const QByteArray &bytes);
    LogLine &operator<<(const char *text);
    LogLine &operator<<(const std::string &text);
    LogLine &operator<<(bool value);

    template <typename T> LogLine &operator<<(const T &value)
    {
        if constexpr (std::is_enum_v<T>) {
            stream << static_cast<long long>(value);
        } else {
            stream << value;
        }
        return *this;
    }

private:
    std::ostringstream stream;
};

#define LOG_LINE() LogLine(__FILE__, __LINE__, __func__)

// Log lines are written unless turned off, by a program whose terminal is for its own messages.
void setLogLinesEnabled(bool enabled);

#endif // LOG_H
