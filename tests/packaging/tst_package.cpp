// The Debian package and the install rules it is built from, checked on the build tree: what
// lands where, what the package depends on, and that the packaged programs run.
#include "testserver.h"

#include <QtTest>

namespace {

// Regular files as "path x" (executable) or "path -", sorted: under a staged root, or from the
// lines of "dpkg-deb -c" ("-rwxr-xr-x root/root 56216 2024-01-01 12:00 ./usr/bin/x").
QStringList stagedFiles(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        files << info.filePath().mid(root.size()) + (info.permission(QFile::ExeOwner) ? " x" : " -");
    }
    files.sort();
    return files;
}

QStringList packagedFiles(const QByteArray &listing)
{
    QStringList files;
    for (const QByteArray &line : listing.split('\n')) {
        if (line.startsWith('-'))
            files << QString::fromUtf8(line.mid(line.indexOf(" ./") + 2)) + (line.at(3) == 'x' ? " x" : " -");
    }
    files.sort();
    return files;
}

QString controlField(const QByteArray &info, const char *name)
{
    const QRegularExpression field(QStringLiteral("^ %1: (.*)$").arg(QLatin1String(name)), QRegularExpression::MultilineOption);
    return field.match(QString::fromUtf8(info)).captured(1);
}

} // namespace

class PackageTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    const QString stage = dir.path() + "/stage";
    QString deb;
    QStringList packaged;

private slots:
    void initTestCase()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DESTDIR"), stage);
        const ProgramResult install = runProgram("cmake", {"--install", AMBRIX_BINARY_DIR, "--prefix", "/usr"}, {}, env);
        QVERIFY2(install.exitCode == 0, install.err.constData());
        const QString out = dir.path() + "/out";
        const ProgramResult cpack = runProgram("cpack", {"-G", "DEB", "-B", out, "--config", AMBRIX_BINARY_DIR "/CPackConfig.cmake"});
        QVERIFY2(cpack.exitCode == 0, cpack.out + cpack.err);
        const QStringList debs = QDir(out).entryList({QStringLiteral("*.deb")});
        QCOMPARE(debs.size(), 1);
        deb = out + '/' + debs.first();
        const ProgramResult listing = runProgram("dpkg-deb", {"-c", deb});
        QCOMPARE(listing.exitCode, 0);
        packaged = packagedFiles(listing.out);
        // The package holds what the install rules install.
        QCOMPARE(packaged, stagedFiles(stage));
    }

    void filesAtTheirPaths_data() { addRowsFrom("package.rows"); }

    void filesAtTheirPaths() { QVERIFY2(packaged.contains(field("entry")), qPrintable(packaged.join('\n'))); }

    void controlFields()
    {
        const ProgramResult info = runProgram("dpkg-deb", {"-I", deb});
        QCOMPARE(info.exitCode, 0);
        QCOMPARE(controlField(info.out, "Version"), QStringLiteral(AMBRIX_VERSION));
        QCOMPARE(controlField(info.out, "Package"), QStringLiteral("ambrix-server"));
        QStringList depends;
        for (const QString &d : controlField(info.out, "Depends").split(',', Qt::SkipEmptyParts))
            depends << d.trimmed().section(' ', 0, 0);
        // What the server loads or runs at run time, and what the shared-library scan found.
        for (const char *package : {"libqt5sql5-mysql", "samba-common-bin", "passwd", "libpam-modules", "wget", "libqt5core5a",
                                    "libqt5network5", "libqt5sql5", "libqt5widgets5", "libpam0g", "libacl1", "libc6",
                                    "samba-libs", "libkrb5-3"})
            QVERIFY2(depends.contains(QLatin1String(package)), qPrintable(package + (": " + depends.join(' '))));
        // Only for opening files in desktop sessions, which hosts without desktops do not do.
        QVERIFY(controlField(info.out, "Recommends").contains(QLatin1String("xdg-utils")));

        const QString control = dir.path() + QStringLiteral("/control");
        QCOMPARE(runProgram("dpkg-deb", {"-e", deb, control}).exitCode, 0);
        QCOMPARE(readFile(control + "/conffiles").trimmed(), QByteArray("/etc/pam.d/ambrix-server\n/etc/logrotate.d/ambrix-server"));
        for (const char *script : {"postinst", "prerm", "postrm"})
            QVERIFY2(QFileInfo(control + '/' + script).isExecutable(), script);
        // The maintainer script copies the sample from where the package puts it, and the sample reads.
        QVERIFY(readFile(control + "/postinst").contains("/usr/share/ambrix-server/ambrix-server.ini"));
        QSettings sample(stage + "/usr/share/ambrix-server/ambrix-server.ini", QSettings::IniFormat);
        QVERIFY(sample.status() == QSettings::NoError && sample.contains("Server/UserFolderRoots"));
        // New installations are strict; a file without the key keeps the historical rule.
        QCOMPARE(sample.value("Server/RequireAdminGroup").toString(), QStringLiteral("true"));
    }

    void unitAndLogRotation()
    {
        // Unit files may repeat a key, so they are read as lines.
        const QList<QByteArray> lines = readFile(stage + "/usr/lib/systemd/system/ambrix-server.service").split('\n');
        QByteArray execStart, path;
        for (const QByteArray &line : lines) {
            execStart = line.startsWith("ExecStart=") ? line.mid(10) : execStart;
            path = line.startsWith("Environment=PATH=") ? line.mid(17) : path;
        }
        QVERIFY2(packaged.contains(QString::fromUtf8(execStart.split(' ').first()) + " x"), execStart.constData());
        // The server finds the package's "psexec" before any other.
        QVERIFY2(packaged.contains(QString::fromUtf8(path.split(':').first()) + "/psexec x"), path.constData());
        // What the unit does under systemd (settings in /opt, a clean stop on SIGINT) is the system test's.
        const ProgramResult security = runProgram("systemd-analyze", {"security", "--offline=yes", "--no-pager",
                                                                      stage + "/usr/lib/systemd/system/ambrix-server.service"});
        const QRegularExpressionMatch exposure =
            QRegularExpression(QStringLiteral("Overall exposure level for \\S+: ([0-9.]+)")).match(QString::fromUtf8(security.out));
        QVERIFY2(exposure.hasMatch() && exposure.captured(1).toDouble() <= 4.0, security.out.right(300).constData());

        // The log's path has a blank: unquoted, logrotate would read two patterns.
        const ProgramResult rotation = runProgram(QStringLiteral("logrotate"), {"-d", stage + "/etc/logrotate.d/ambrix-server"});
        QCOMPARE(rotation.exitCode, 0);
        QVERIFY2(rotation.err.contains("considering log /opt/Ambrix Server/ambrix-server.log\n"), rotation.err.constData());
    }

    void packagedProgramsRun()
    {
        const QString root = dir.path() + QStringLiteral("/root");
        QCOMPARE(runProgram("dpkg-deb", {"-x", deb, root}).exitCode, 0);
        // The launcher refuses an argument list of another shape.
        QCOMPARE(runProgram(root + "/usr/lib/ambrix-server/bin/psexec", {}).exitCode, 2);
        const ProgramResult usage = runProgram(root + "/usr/sbin/ambrix-server", {"--bogus"});
        QCOMPARE(usage.exitCode, 1);
        QVERIFY2(usage.out.contains("usage: " + root.toUtf8() + "/usr/sbin/ambrix-server <options>"), usage.out.constData());

        // The stripped server serves the test database as the build-tree server does.
        TestServer server;
        QVERIFY(server.start({}, root + "/usr/sbin/ambrix-server"));
        const ProgramResult reply = runProgram(root + "/usr/bin/ambrix-cli", {"-p", QString::number(server.port()), "-u", "alice",
                                                                              "-t", SampleData::AliceToken, "get_remote_app_server_port"});
        server.interrupt();
        QVERIFY(server.waitForExit() && server.exitCode() == 0);
        QCOMPARE(reply.exitCode, 0);
        QVERIFY2(reply.out.endsWith('\n') && !reply.out.startsWith("Not"), reply.out.constData());
        QCOMPARE(server.standardError().split('\n').first(), QByteArray("Ambrix Server " AMBRIX_VERSION));
    }
};

QTEST_GUILESS_MAIN(PackageTest)
#include "tst_package.moc"
