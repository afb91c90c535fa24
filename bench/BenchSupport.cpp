#include "BenchSupport.h"

#include "TestSupport.h"
#include "Tonravel.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <opus.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench
{

bool runInOwnNetworkNamespace(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("PLOVARIN_NETNS_OWN")) {
        return true;
    }
    // Tried alone first, so that a refusal is told apart from the benchmark's own failure.
    if (std::system("unshare -n true") != 0) {
        std::fprintf(stderr,
                     "%s: no network namespace of its own (unshare -n needs root and util-linux); "
                     "not run on this host's network\n",
                     argv[0]);
        return false;
    }
    // The same program and arguments: "$0" and "$@" of the shell.
    const char *script = "ip link set lo up && PLOVARIN_NETNS_OWN=1 exec \"$0\" \"$@\"";
    std::vector<const char *> command{"unshare", "-n", "--", "sh", "-c", script};
    command.insert(command.end(), argv, argv + argc);
    command.push_back(nullptr);
    std::fflush(nullptr);
    execvp(command[0], const_cast<char *const *>(command.data()));
    std::fprintf(stderr, "%s: cannot run unshare: %s\n", argv[0], std::strerror(errno));
    return false;
}

double processCpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray line = stat.readAll();
    // The fields after the command name, which may hold blanks: state is the first of them,
    // user and system time the 12th and 13th.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) {
        return -1;
    }
    const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
    return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

QByteArray processStatus(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly)) {
        return "?";
    }
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field)) {
            return line.mid(int(qstrlen(field))).simplified();
        }
    }
    return "?";
}

QByteArray loadAverages()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly)) {
        return "?";
    }
    const QList<QByteArray> fields = file.readAll().split(' ');
    return fields.mid(0, 3).join(' ');
}

bool pactl(const PulseServer &server, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("pactl", QStringList{"--server=" + server.serverAddress()} + arguments);
    const bool ok = process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit &&
                    process.exitCode() == 0;
    if (output) {
        *output = QString::fromLocal8Bit(process.readAll()).trimmed();
    }
    return ok;
}

bool usePulseAudioBackendOnly(QString *problem)
{
    static QTemporaryDir pluginRoot;
    const QString plugin = QStringLiteral("audio/libqtmedia_pulse.so");
    const QString source = QDir(QLibraryInfo::location(QLibraryInfo::PluginsPath)).filePath(plugin);
    if (!QFile::exists(source)) {
        *problem = QStringLiteral("Qt's PulseAudio plugin is missing: %1").arg(source);
        return false;
    }
    QDir(pluginRoot.path()).mkpath(QStringLiteral("audio"));
    const QString link = pluginRoot.filePath(plugin);
    if (!QFile::exists(link) && !QFile::link(source, link)) {
        *problem = QStringLiteral("cannot link %1").arg(link);
        return false;
    }
    // Platform plugins are loaded by now; only the audio backends are looked up here.
    QCoreApplication::setLibraryPaths({pluginRoot.path()});
    return true;
}

QStringList windowArguments(const QString &source, const QString &receiver)
{
    return {QString::fromLatin1(kWindowMode), source, receiver};
}

int runWindow(int argc, char *argv[])
{
    QApplication application(argc, argv);
    SettingsSandbox sandbox;
    QString problem;
    if (argc < 4 || !usePulseAudioBackendOnly(&problem)) {
        std::fprintf(stderr, "window: %s\n", qPrintable(problem));
        return 1;
    }
    const QString source = QString::fromLocal8Bit(argv[2]);
    Tonravel window;
    auto *sources = window.findChild<QComboBox *>(QStringLiteral("soundSourcecomboBox"));
    sources->setCurrentText(source);
    if (sources->currentText() != source) {
        std::fprintf(stderr, "window: no source %s\n", qPrintable(source));
        return 1;
    }
    window.findChild<QLineEdit *>(QStringLiteral("receiverIplineEdit"))
        ->setText(QString::fromLocal8Bit(argv[3]));
    window.findChild<QPushButton *>(QStringLiteral("startRecordstartDancepushButton"))->click();
    return application.exec();
}

bool Program::start(const QString &program, const QStringList &arguments)
{
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) {
        std::fprintf(stderr, "%s did not start: %s\n", qPrintable(program),
                     qPrintable(process.errorString()));
        return false;
    }
    return true;
}

void Program::stop()
{
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

bool startWindow(Program &window, const QString &source, const QString &receiver)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    window.process.setProcessEnvironment(environment);
    window.process.setStandardOutputFile(QProcess::nullDevice());
    window.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    return window.start(QCoreApplication::applicationFilePath(), windowArguments(source, receiver));
}

bool startBusyLoop(Program &loop)
{
    // The shell itself spins: there is no child to leave behind when it is killed.
    return loop.start(QStringLiteral("sh"),
                      {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
}

namespace
{
OpusDecoder *makeDecoder()
{
    int error = OPUS_OK;
    OpusDecoder *decoder = opus_decoder_create(48000, 1, &error);
    if (error != OPUS_OK) {
        std::fprintf(stderr, "no Opus decoder: %s\n", opus_strerror(error));
        return nullptr;
    }
    return decoder;
}
} // namespace

OpusStream::OpusStream()
    : decoder(makeDecoder(), opus_decoder_destroy)
{
}

int OpusStream::decode(const QByteArray &packet)
{
    if (!decoder) {
        return OPUS_ALLOC_FAIL;
    }
    QVector<opus_int16> pcm(5760);
    const int count =
        opus_decode(decoder.get(), reinterpret_cast<const unsigned char *>(packet.constData()),
                    packet.size(), pcm.data(), pcm.size(), 0);
    std::copy(pcm.cbegin(), pcm.cbegin() + std::max(count, 0), std::back_inserter(decoded));
    return count;
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool firewall(const QString &input, const QString &output)
{
    QProcess nft;
    nft.start("nft", {"-f", "-"});
    nft.write(QStringLiteral("table inet bench\ndelete table inet bench\ntable inet bench {\n "
                             "chain input {\n type filter hook input "
                             "priority 0;\n%1\n }\n chain output {\n type filter hook output "
                             "priority 0;\n udp sport 14220-14251 counter\n tcp sport 14214 "
                             "counter\n%2\n }\n}\n")
                  .arg(input, output)
                  .toUtf8());
    nft.closeWriteChannel();
    return nft.waitForFinished() && nft.exitCode() == 0;
}

std::pair<qint64, qint64> sentBytes()
{
    QProcess nft;
    nft.start("nft", {"list", "chain", "inet", "bench", "output"});
    nft.waitForFinished();
    const QString text = nft.readAllStandardOutput();
    QList<qint64> bytes;
    auto it = QRegularExpression("bytes (\\d+)").globalMatch(text);
    while (it.hasNext()) {
        bytes << it.next().captured(1).toLongLong();
    }
    return bytes.size() >= 2 ? std::make_pair(bytes[0], bytes[1]) : std::make_pair(-1LL, -1LL);
}

double treeCpuMs(qint64 root)
{
    double total = 0;
    const QStringList pids = QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs);
    for (const QString &pid : pids) {
        for (qint64 p = pid.toLongLong(); p > 1;) {
            if (p == root) {
                total += std::max(0.0, processCpuMs(pid.toLongLong()));
                break;
            }
            QFile stat("/proc/" + QString::number(p) + "/stat");
            if (!stat.open(QIODevice::ReadOnly)) {
                break;
            }
            const QByteArray line = stat.readAll();
            p = line.mid(line.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
        }
    }
    return total;
}

bool startPage(Chromium &browser, const QString &sink, const QString &path)
{
    const QString state = "document.getElementById('state').textContent";
    if (!browser.start("http://127.0.0.1:14214/", sink) || !QTest::qWaitFor([&] {
            return browser.evaluate(state).toString() == "Press Play to listen";
        })) {
        std::fprintf(stderr, "Chromium did not start\n");
        return false;
    }
    browser.evaluate("document.getElementById('play').click()");
    if (!QTest::qWaitFor(
            [&] {
                return browser.evaluate("document.getElementById('path').textContent")
                    .toString()
                    .startsWith(path);
            },
            15000)) {
        std::fprintf(stderr, "the page did not play over %s: %s\n", qPrintable(path),
                     qPrintable(browser.evaluate(state).toString()));
        return false;
    }
    return true;
}

} // namespace bench
