#include <QtTest>

// What program writes to standard output (its errors go to the test's); empty when it fails.
// Packing takes long on a busy machine: it has all of ctest's time.
static QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(240000) && process.exitCode() == 0;
    return ok ? QString::fromUtf8(process.readAllStandardOutput()) : QString();
}

// Builds the Debian package from this build tree, as `make package` does, and looks inside.
class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void holdsWhatAnInstallationNeeds()
    {
        QTemporaryDir dir;
        run(QStringLiteral(CPACK), {"--config", CPACK_CONFIG, "-B", dir.path()});
        const QString deb = dir.filePath(QDir(dir.path()).entryList({"plovarin_*.deb"}).value(0));
        run("dpkg-deb", {"--extract", deb, dir.path()});
        QStringList files = QString("bin/Tonravel bin/plovarin-player share/doc/plovarin/copyright "
                                    "share/doc/plovarin/changelog.gz share/man/man1/Tonravel.1.gz "
                                    "share/man/man1/plovarin-player.1.gz "
                                    "share/applications/com.morvenhal.Tonravel.desktop "
                                    "lib/systemd/user/plovarin-player.service")
                                .split(' ');
        for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
            files << QString("share/icons/hicolor/%1x%1/apps/com.morvenhal.Tonravel.png").arg(size);
        }
        QStringList packed = run("find", {dir.filePath("usr"), "-type", "f", "-printf", "%P\\n"})
                                 .split('\n', Qt::SkipEmptyParts);
        files.sort();
        packed.sort();
        QCOMPARE(packed, files);
        // From the programs' shared libraries, and the plugins Qt plays sound through.
        const QString depends = run("dpkg-deb", {"--field", deb, "Depends"});
        QVERIFY2(depends.contains("libopus0") && depends.contains("libqt5multimedia5-plugins"),
                 qPrintable(depends));
        // The unit is written at install time: it must name the player where the package puts it.
        QCOMPARE(run("grep", {"-rh", "^ExecStart=", dir.filePath("usr/lib/systemd")}),
                 QString("ExecStart=/usr/bin/plovarin-player\n"));
        // A second user's session finds the ports taken (exit code 3): no restart loop.
        QCOMPARE(
            run("grep", {"-rh", "^RestartPreventExitStatus=", dir.filePath("usr/lib/systemd")}),
            QString("RestartPreventExitStatus=2 3\n"));
        // Every user's session starts the player from the installation on.
        const QString postinst = run("dpkg-deb", {"--info", deb, "postinst"});
        QVERIFY2(postinst.contains("deb-systemd-helper --user enable plovarin-player.service"),
                 qPrintable(postinst));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
