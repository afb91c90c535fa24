#ifndef BENCH_PROCESSCPU_H
#define BENCH_PROCESSCPU_H

#include <QFile>
#include <QList>

#include <unistd.h>

// User and system CPU time of a process in ms, from /proc; -1 when it has gone.
inline double processCpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) * 1000.0 /
           double(sysconf(_SC_CLK_TCK));
}

#endif // BENCH_PROCESSCPU_H
