// The Debian package and the install rules it is built from, checked on the build tree: what
// lands where, what the package depends on, and that the packaged programs run.
#include "app/settings.h"
#include "registration/serverregistry.h"
#include "sampledata.h"
#include "testclient.h"
#include "testprogram.h"
#include "testserver.h"

#include <QtTest>

#include <csignal>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Regular files under root as "path mode", path relative to root with a leading "/".
QStringList stagedFiles(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const bool executable = info.permission(QFile::ExeOwner);
        files << info.filePath().mid(root.size()) + (executable ? " x" : " -");
    }
    files.sort();
    return files;
}

// The same from "dpkg-deb -c" lines: "-rwxr-xr-x root/root 56216 2024-01-01 12:00 ./usr/bin/x".
QStringList packagedFiles(const QByteArray &listing)
{
    QStringList files;
    for (const QByteArray &line : listing.split('\n')) {
        if (!line.startsWith('-'))
            continue;
        const QString path = QString::fromUtf8(line.mid(line.indexOf(" ./") + 2));
        files << path + (line.at(3) == 'x' ? " x" : " -");
    }
    files.sort();
    return files;
}

QString controlField(const QByteArray &info, const char *name)
{
    const QRegularExpression field(QStringLiteral("^ %1: (.*)$").arg(QLatin1String(name)),
                                   QRegularExpression::MultilineOption);
    return field.match(QString::fromUtf8(info)).captured(1);
}

// Every settings key the server's code names, so a new key cannot miss the sample file. The
// fixed keys are constants in app/settings.h; the role keys come from the registry's list.
QSet<QString> keysNamedInCode()
{
    QSet<QString> keys;
    const QRegularExpression literal(QStringLiteral("\"(Server/[A-Za-z]+)\""));
    const QString source = QString::fromUtf8(readFile(QStringLiteral(AMBRIX_SOURCE_DIR "/app/settings.h")));
    auto matches = literal.globalMatch(source);
    while (matches.hasNext())
        keys.insert(matches.next().captured(1));
    for (const ServerRegistry::ServerRole &role : ServerRegistry::Roles)
        keys.insert(Settings::roleKey(role.roleName));
    return keys;
}

} // namespace

class PackageTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void packageHoldsWhatTheInstallRulesInstall();
    void filesAtTheirPaths_data();
    void filesAtTheirPaths();
    void controlFields();
    void unitStartsThePackagedServer();
    void sampleSettingsHoldEveryKey();
    void packagedProgramsRun();

private:
    QTemporaryDir dir;
    QString stage;
    QString deb;
    QStringList packaged;
};

void PackageTest::initTestCase()
{
    QVERIFY(dir.isValid());
    stage = dir.path() + QStringLiteral("/stage");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DESTDIR"), stage);
    const ProgramResult install = runProgram(QStringLiteral("cmake"),
                                       {"--install", AMBRIX_BINARY_DIR, "--prefix", "/usr"}, {}, env);
    QVERIFY2(install.exitCode == 0, install.err.constData());

    const QString out = dir.path() + QStringLiteral("/out");
    const ProgramResult cpack = runProgram(QStringLiteral("cpack"),
                                     {"-G", "DEB", "-B", out, "--config", AMBRIX_BINARY_DIR "/CPackConfig.cmake"});
    QVERIFY2(cpack.exitCode == 0, cpack.out + cpack.err);
    const QStringList debs = QDir(out).entryList({QStringLiteral("*.deb")});
    QCOMPARE(debs.size(), 1);
    deb = out + '/' + debs.first();

    const ProgramResult listing = runProgram(QStringLiteral("dpkg-deb"), {"-c", deb});
    QCOMPARE(listing.exitCode, 0);
    packaged = packagedFiles(listing.out);
}

void PackageTest::packageHoldsWhatTheInstallRulesInstall()
{
    QCOMPARE(packaged, stagedFiles(stage));
}

void PackageTest::filesAtTheirPaths_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("server") << "/usr/sbin/ambrix-server x";
    QTest::newRow("client") << "/usr/bin/ambrix-cli x";
    QTest::newRow("launcher") << "/usr/lib/ambrix-server/bin/psexec x";
    QTest::newRow("domain helper") << "/usr/lib/ambrix-server/ambrix-domain x";
    QTest::newRow("PAM service") << "/etc/pam.d/ambrix-server -";
    QTest::newRow("log rotation") << "/etc/logrotate.d/ambrix-server -";
    QTest::newRow("systemd unit") << "/usr/lib/systemd/system/ambrix-server.service -";
    QTest::newRow("sample settings") << "/usr/share/ambrix-server/ambrix-server.ini -";
    QTest::newRow("security notes") << "/usr/share/doc/ambrix-server/SECURITY.md -";
    QTest::newRow("server manual") << "/usr/share/man/man8/ambrix-server.8.gz -";
    QTest::newRow("client manual") << "/usr/share/man/man1/ambrix-cli.1.gz -";
}

void PackageTest::filesAtTheirPaths()
{
    QFETCH(QString, entry);
    QVERIFY2(packaged.contains(entry), qPrintable(packaged.join('\n')));
}

void PackageTest::controlFields()
{
    const ProgramResult info = runProgram(QStringLiteral("dpkg-deb"), {"-I", deb});
    QCOMPARE(info.exitCode, 0);
    QCOMPARE(controlField(info.out, "Version"), QStringLiteral(AMBRIX_VERSION));
    QCOMPARE(controlField(info.out, "Package"), QStringLiteral("ambrix-server"));
    QStringList depends;
    for (const QString &d : controlField(info.out, "Depends").split(',', Qt::SkipEmptyParts))
        depends << d.trimmed().section(' ', 0, 0);
    // What the server loads or runs at run time, and what the shared-library scan found.
    for (const char *package : {"libqt5sql5-mysql", "samba-common-bin", "passwd", "libpam-modules", "wget",
                                "libqt5core5a", "libqt5network5", "libqt5sql5", "libqt5widgets5",
                                "libpam0g", "libacl1", "libc6", "samba-libs", "libkrb5-3"})
        QVERIFY2(depends.contains(QLatin1String(package)), qPrintable(package + (": " + depends.join(' '))));

    // Only for opening files in desktop sessions, which hosts without desktops do not do.
    QVERIFY(controlField(info.out, "Recommends").contains(QLatin1String("xdg-utils")));

    const QString control = dir.path() + QStringLiteral("/control");
    QCOMPARE(runProgram(QStringLiteral("dpkg-deb"), {"-e", deb, control}).exitCode, 0);
    QCOMPARE(readFile(control + "/conffiles").trimmed(),
             QByteArray("/etc/pam.d/ambrix-server\n/etc/logrotate.d/ambrix-server"));
    for (const char *script : {"postinst", "prerm", "postrm"}) {
        const QFileInfo info(control + '/' + script);
        QVERIFY2(info.isExecutable(), script);
    }
    // The maintainer script copies the sample from where the package puts it.
    QVERIFY(readFile(control + "/postinst").contains("/usr/share/ambrix-server/ambrix-server.ini"));
}

void PackageTest::unitStartsThePackagedServer()
{
    // Unit files may repeat a key, so they are read as lines.
    const QList<QByteArray> lines = readFile(stage + "/usr/lib/systemd/system/ambrix-server.service").split('\n');
    QByteArray execStart;
    QByteArray path;
    for (const QByteArray &line : lines) {
        if (line.startsWith("ExecStart="))
            execStart = line.mid(10);
        if (line.startsWith("Environment=PATH="))
            path = line.mid(17);
    }
    // What the unit does under systemd (settings in /opt, a clean stop on SIGINT) is the system test's.
    QVERIFY2(packaged.contains(QString::fromUtf8(execStart.split(' ').first()) + " x"), execStart.constData());
    // The server finds the package's "psexec" before any other.
    QVERIFY2(packaged.contains(QString::fromUtf8(path.split(':').first()) + "/psexec x"), path.constData());

    // The log's path has a blank: unquoted, logrotate would read two patterns.
    const ProgramResult rotation = runProgram(QStringLiteral("logrotate"), {"-d", stage + "/etc/logrotate.d/ambrix-server"});
    QCOMPARE(rotation.exitCode, 0);
    QVERIFY2(rotation.err.contains("considering log /opt/Ambrix Server/ambrix-server.log\n"), rotation.err.constData());
}

void PackageTest::sampleSettingsHoldEveryKey()
{
    QSettings sample(stage + "/usr/share/ambrix-server/ambrix-server.ini", QSettings::IniFormat);
    QCOMPARE(sample.status(), QSettings::NoError);
    const QStringList keys = sample.allKeys();
    const QSet<QString> inSample(keys.cbegin(), keys.cend());
    const QSet<QString> inCode = keysNamedInCode();
    QVERIFY(inCode.size() >= 20);
    QVERIFY2(inSample.contains(inCode), qPrintable(QStringList((inCode - inSample).values()).join(' ')));
    // And no key the server would never read, such as a misspelt one.
    QVERIFY2(inCode.contains(inSample), qPrintable(QStringList((inSample - inCode).values()).join(' ')));
}

void PackageTest::packagedProgramsRun()
{
    const QString root = dir.path() + QStringLiteral("/root");
    QCOMPARE(runProgram(QStringLiteral("dpkg-deb"), {"-x", deb, root}).exitCode, 0);
    const QString server = root + "/usr/sbin/ambrix-server";
    const QString cli = root + "/usr/bin/ambrix-cli";

    // The launcher refuses an argument list of another shape.
    QCOMPARE(runProgram(root + "/usr/lib/ambrix-server/bin/psexec", {}).exitCode, 2);
    const ProgramResult usage = runProgram(server, {"--bogus"});
    QCOMPARE(usage.exitCode, 1);
    QVERIFY2(usage.out.contains("usage: " + server.toUtf8() + " <options>"), usage.out.constData());

    // The stripped server serves the test database as the build-tree server does.
    TestServer settings;
    const quint16 port = TestServer::freePort();
    QProcess serving;
    serving.setProcessEnvironment(settings.environment());
    serving.setStandardErrorFile(dir.path() + "/serving.err");
    serving.start(server, {"-a", "127.0.0.1", "-p", QString::number(port)});
    QVERIFY(serving.waitForStarted(5000));
    QDeadlineTimer deadline(10000);
    while (!TestClient(port).isConnected() && !deadline.hasExpired())
        QThread::msleep(20);

    const ProgramResult reply = runProgram(cli, {"-p", QString::number(port), "-u", "alice", "-t",
                                           SampleData::AliceToken, "get_remote_app_server_port"});
    ::kill(pid_t(serving.processId()), SIGINT);
    QVERIFY(serving.waitForFinished(10000));
    QCOMPARE(serving.exitCode(), 0);
    QCOMPARE(reply.exitCode, 0);
    QVERIFY2(reply.out.endsWith('\n') && !reply.out.startsWith("Not"), reply.out.constData());
    const QByteArray firstLine = readFile(dir.path() + "/serving.err").split('\n').first();
    QCOMPARE(firstLine, QByteArray("Ambrix Server " AMBRIX_VERSION));
}

QTEST_GUILESS_MAIN(PackageTest)
#include "tst_package.moc"
