// The Debian packages as scripts/package builds them with dpkg-buildpackage: what lands where,
// what they depend on, what lintian says of them, and that the packaged programs run.
#include "testserver.h"

#include <QtTest>

namespace {

// Regular files of a package as "path x" (executable) or "path -", from the lines of
// "dpkg-deb -c" ("-rwxr-xr-x root/root 56216 2024-01-01 12:00 ./usr/bin/x").
QStringList packagedFiles(const QByteArray &listing)
{
    QStringList files;
    for (const QByteArray &line : listing.split('\n')) {
        if (line.startsWith('-'))
            files << QString::fromUtf8(line.mid(line.indexOf(" ./") + 2)) + (line.at(3) == 'x' ? " x" : " -");
    }
    return files;
}

QString controlField(const QString &deb, const char *name)
{
    return QString::fromUtf8(runProgram("dpkg-deb", {"-f", deb, name}).out).trimmed();
}

// The packages a relation field names, alternatives included, without their versions.
QStringList packageNames(const QString &relations)
{
    QStringList names;
    for (const QString &relation : relations.split(QRegularExpression(QStringLiteral("[,|]")), Qt::SkipEmptyParts))
        names << relation.trimmed().section(' ', 0, 0);
    return names;
}

} // namespace

class PackageTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    const QString root = dir.path() + "/root";
    QHash<QString, QString> debs;
    QString changes;
    QStringList packaged;

private slots:
    void initTestCase()
    {
        const QString out = dir.path() + "/out";
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("AMBRIX_BUILD_DIR"), AMBRIX_BINARY_DIR);
        const ProgramResult built = runProgram("bash", {AMBRIX_SOURCE_DIR "/scripts/package", out}, {}, env, 1200000);
        QVERIFY2(built.exitCode == 0, built.out + built.err);
        for (const QString &name : QDir(out).entryList({QStringLiteral("*.deb")})) {
            const QString deb = out + '/' + name;
            const QString package = name.section('_', 0, 0);
            debs.insert(package, deb);
            const ProgramResult listing = runProgram("dpkg-deb", {"-c", deb});
            QCOMPARE(listing.exitCode, 0);
            for (const QString &file : packagedFiles(listing.out))
                packaged << package + ' ' + file;
            QCOMPARE(runProgram("dpkg-deb", {"-x", deb, root}).exitCode, 0);
        }
        QStringList names = debs.keys();
        names.sort();
        QCOMPARE(names, QStringList({"ambrix-cli", "ambrix-server"}));
        changes = out + '/' + QDir(out).entryList({QStringLiteral("*.changes")}).value(0);
    }

    void filesAtTheirPaths_data() { addRowsFrom("package.rows"); }

    void filesAtTheirPaths()
    {
        QVERIFY2(packaged.contains(field("package") + ' ' + field("entry")), qPrintable(packaged.join('\n')));
    }

    void controlFields()
    {
        for (const QString &deb : qAsConst(debs))
            QCOMPARE(controlField(deb, "Version"), QStringLiteral(AMBRIX_VERSION));
        const QString server = debs.value("ambrix-server");
        const QStringList depends = packageNames(controlField(server, "Depends"));
        // What the server loads or runs at run time, what the shared-library scan found, and what
        // makes its account and its settings' folder.
        for (const char *package : {"libqt5sql5-mysql", "samba-common-bin", "passwd", "libpam-modules", "wget", "openssl",
                                    "libqt5core5a", "libqt5network5", "libqt5sql5", "libqt5widgets5", "libpam0g", "libacl1",
                                    "libc6", "samba-libs", "libkrb5-3", "systemd-standalone-sysusers", "systemd-standalone-tmpfiles"})
            QVERIFY2(depends.contains(QLatin1String(package)), qPrintable(package + (": " + depends.join(' '))));
        // Only for opening files in desktop sessions, which hosts without desktops do not do.
        QVERIFY(packageNames(controlField(server, "Recommends")).contains(QLatin1String("xdg-utils")));
        // A console host installs the client alone: none of the server's libraries come with it.
        const QStringList client = packageNames(controlField(debs.value("ambrix-cli"), "Depends"));
        QVERIFY2(client.contains("libqt5network5") && !client.contains("samba-libs") && !client.contains("libpam0g"),
                 qPrintable(client.join(' ')));

        const QString control = dir.path() + QStringLiteral("/control");
        QCOMPARE(runProgram("dpkg-deb", {"-e", server, control}).exitCode, 0);
        QCOMPARE(readFile(control + "/conffiles").trimmed(), QByteArray("/etc/logrotate.d/ambrix-server\n/etc/pam.d/ambrix-server"));
        // The maintainer script copies the sample from where the package puts it, and the sample reads.
        QVERIFY(readFile(control + "/postinst").contains("/usr/share/ambrix-server/ambrix-server.ini"));
        QSettings sample(root + "/usr/share/ambrix-server/ambrix-server.ini", QSettings::IniFormat);
        QVERIFY(sample.status() == QSettings::NoError && sample.contains("Server/UserFolderRoots"));
        // New installations are strict; a file without the key keeps the historical rule.
        QCOMPARE(sample.value("Server/RequireAdminGroup").toString(), QStringLiteral("true"));
    }

    void lintianSaysNothingAmiss()
    {
        // The .changes names both packages and the build's record; overrides carry their reasons.
        const ProgramResult lintian = runProgram("lintian", {"--fail-on", "error,warning", changes}, {},
                                                 QProcessEnvironment::systemEnvironment(), 600000);
        QVERIFY2(lintian.exitCode == 0, lintian.out + lintian.err);
    }

    void unitAndLogRotation()
    {
        // Unit files may repeat a key, so they are read as lines.
        const QString unit = root + "/lib/systemd/system/ambrix-server.service";
        QByteArray execStart, path;
        for (const QByteArray &line : readFile(unit).split('\n')) {
            execStart = line.startsWith("ExecStart=") ? line.mid(10) : execStart;
            path = line.startsWith("Environment=PATH=") ? line.mid(17) : path;
        }
        QVERIFY2(packaged.contains("ambrix-server " + QString::fromUtf8(execStart.split(' ').first()) + " x"), execStart.constData());
        // The server finds the package's "psexec" before any other.
        QVERIFY2(packaged.contains("ambrix-server " + QString::fromUtf8(path.split(':').first()) + "/psexec x"), path.constData());
        // What the unit does under systemd (settings in /opt, a clean stop on SIGINT) is the system test's.
        const ProgramResult security = runProgram("systemd-analyze", {"security", "--offline=yes", "--no-pager", unit});
        const QRegularExpressionMatch exposure =
            QRegularExpression(QStringLiteral("Overall exposure level for \\S+: ([0-9.]+)")).match(QString::fromUtf8(security.out));
        QVERIFY2(exposure.hasMatch() && exposure.captured(1).toDouble() <= 4.0, security.out.right(300).constData());

        // The log's path has a blank: unquoted, logrotate would read two patterns.
        const ProgramResult rotation = runProgram(QStringLiteral("logrotate"), {"-d", root + "/etc/logrotate.d/ambrix-server"});
        QCOMPARE(rotation.exitCode, 0);
        QVERIFY2(rotation.err.contains("considering log /opt/Ambrix Server/ambrix-server.log\n"), rotation.err.constData());
    }

    void packagedProgramsRun()
    {
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
