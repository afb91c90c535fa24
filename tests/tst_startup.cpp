#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// Runs the program itself and reads what it writes.
class TestStartUp : public QObject
{
    Q_OBJECT

private slots:
    void logLinesOfMain();
    void noDisplay_data();
    void noDisplay();

private:
    QProcessEnvironment environment() const;
    QTemporaryDir home;
};

QProcessEnvironment TestStartUp::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    env.insert(QStringLiteral("HOME"), home.path());
    return env;
}

void TestStartUp::logLinesOfMain()
{
    // In a network namespace of its own, so that its discovery listener stays off the network.
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty()) {
        QSKIP("SKIPPED: unshare (util-linux) is needed to start the program off the network");
    }
    QProcess program;
    program.setProcessEnvironment(environment());
    program.start(unshare, {geteuid() == 0 ? QStringLiteral("-n") : QStringLiteral("-rn"),
                            QStringLiteral(TONRAVEL_EXECUTABLE)});
    QVERIFY(program.waitForStarted(5000));

    // The last line of start-up comes from restoring the settings; then the window is up.
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT(
        (output += program.readAllStandardOutput()).contains(", loadSetting\n"), 20000);
    program.kill();
    program.waitForFinished(5000);
    const QByteArray errors = program.readAllStandardError();

    const QStringList lines =
        QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(lines.size() >= 4);
    const QRegularExpression mainLine(
        QStringLiteral("^(\\.\\./)*([^,]+/)?src/main\\.cpp, \\d+, main$"));
    QVERIFY2(mainLine.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QVERIFY2(mainLine.match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    QVERIFY(lines.at(0) != lines.at(1));
    // The window's own lines follow; discovery, started before the form, may log first.
    const QStringList windowLines = lines.filter(QStringLiteral("src/Tonravel.cpp, "));
    QVERIFY(!windowLines.isEmpty());
    QVERIFY2(windowLines.first().endsWith(QLatin1String(", initializeMemberObjects")),
             qPrintable(windowLines.first()));
    QVERIFY(lines.indexOf(windowLines.first()) >= 2);

    // Every line: file, line number, function, then labelled values.
    const QRegularExpression shape(QStringLiteral(
        "^[^,]+\\.cpp, \\d+, [~A-Za-z_][A-Za-z0-9_]*((, [a-z ]+: [^,]*)*|, Speaking done )$"));
    for (const QString &line : lines) {
        QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
    }
    // The form's connections are all accepted.
    QVERIFY2(!errors.contains("QObject::connect"), errors.constData());
}

void TestStartUp::noDisplay_data()
{
    QTest::addColumn<QString>("platform");
    QTest::addRow("default platform") << QString();
    QTest::addRow("xcb asked for") << QStringLiteral("xcb");
}

void TestStartUp::noDisplay()
{
    QFETCH(QString, platform);
    QProcessEnvironment env = environment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!platform.isEmpty()) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    }
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(TONRAVEL_EXECUTABLE), QStringList());
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    const QStringList lines = QString::fromUtf8(program.readAllStandardError())
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QLatin1String("xvfb-run")), qPrintable(lines.first()));
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestStartUp)
#include "tst_startup.moc"
