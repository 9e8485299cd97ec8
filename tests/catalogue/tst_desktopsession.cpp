// Opening files and folders in a user's desktop session for real: the server's "psexec" is the
// launcher of this build, the session a test user's processes on a real X display (Xvfb) with a
// login record, and the opener the real xdg-open with the user's own default applications, a
// recorder that notes its uid, DISPLAY and arguments.
#include "loginrecords.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testserver.h"

#include <QtTest>

#include <csignal>
#include <pwd.h>

namespace {

const QByteArray ServerToken = "desktop-session-token-5e81c4";
// Blanks, quotes and what a shell would expand: one argument, untouched.
const QString Extra = QStringLiteral("--note \"two words\" it's $(id);*");

} // namespace

class DesktopSessionTest : public QObject
{
    Q_OBJECT

    const QString user = QStringLiteral("axdesk%1").arg(QCoreApplication::applicationPid());
    QTemporaryDir dir;
    QString home;
    QString uid;
    TiedProcess xserver;
    QString display;
    TestServer server;
    std::unique_ptr<TestClient> client;

    QStringList runs() const { return QString::fromUtf8(readFile(home + "/runs")).split('\n', Qt::SkipEmptyParts); }

    // The session process starts the desktop, whose programs have DISPLAY; it has none itself.
    // Kinds: "display", "no display", "root" (a session of root's with a display).
    std::unique_ptr<QProcess> startSession(const QString &kind)
    {
        auto session = std::make_unique<TiedProcess>();
        const QString member = kind == "no display" ? QString() : "DISPLAY=" + display + " ";
        const QStringList command{"-i", "HOME=" + home, "/usr/bin/setsid", "/bin/sh", "-c",
                                  member + "sh -c 'echo ready; exec sleep 300' & wait"};
        const QStringList asUser{"--reuid=" + user, "--regid=" + user, "--init-groups", "/usr/bin/env"};
        session->start(kind == "root" ? "/usr/bin/env" : "/usr/bin/setpriv", kind == "root" ? command : asUser + command);
        return session->waitForReadyRead(10000) && session->readAll().startsWith("ready") ? std::move(session) : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid() && QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                                        | QFile::ExeGroup | QFile::ExeOther));
        home = dir.path() + "/home";
        const Programs::Result added = Programs::run(Programs::UseraddProgram, {"-m", "-d", home, "-s", "/bin/sh", user}, 30000);
        const passwd *account = getpwnam(qPrintable(user));
        QVERIFY(added.succeeded() && account);
        uid = QString::number(account->pw_uid);

        // The user's own default applications; the second entry quotes and escapes as real ones do
        // (xdg-mime ignores an entry whose program path is quoted).
        const QString recorder = dir.path() + "/bin/recorder";
        const QString applications = home + "/.local/share/applications/";
        QVERIFY(QDir().mkpath(dir.path() + "/bin") && QDir().mkpath(applications) && QDir().mkpath(home + "/.config")
                && QDir().mkpath(home + "/folder"));
        QVERIFY(writeFile(recorder, "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$(id -u)\" \"$DISPLAY\" \"$(printf '%s|' \"$@\")\" >> '"
                                        + home.toUtf8() + "/runs'\n")
                && QFile::setPermissions(recorder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(writeFile(applications + "ax-recorder.desktop",
                          "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + recorder.toUtf8() + " %f\n"));
        QVERIFY(writeFile(applications + "ax-quoted.desktop", "[Desktop Entry]\nType=Application\nName=Quoted\nExec="
                                                                  + recorder.toUtf8() + " \"say \\\\\"hi\\\\\"\" 100%% %i %f\n"));
        QVERIFY(writeFile(home + "/.config/mimeapps.list", "[Default Applications]\ntext/plain=ax-recorder.desktop\n"
                                                           "inode/directory=ax-recorder.desktop\napplication/pdf=ax-quoted.desktop\n"));
        QVERIFY(writeFile(home + "/notes one.txt", "plain text\n") && writeFile(home + "/scan.pdf", "%PDF-1.4\n")
                && writeFile(home + "/secret.txt", "root's\n") && QFile::setPermissions(home + "/secret.txt", QFile::ReadOwner));

        xserver.setStandardErrorFile(QProcess::nullDevice());
        xserver.start("/usr/bin/Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "320x240x24"});
        QVERIFY2(xserver.waitForReadyRead(10000), "Xvfb (package xvfb) did not start");
        display = ":" + QString::fromLatin1(xserver.readAll()).trimmed();

        // With no capability beyond the unit's bounding set, as under systemd: root may not read
        // another user's process environments there.
        QByteArray capabilities = "-all";
        for (const QByteArray &line : readFile(AMBRIX_SOURCE_DIR "/debian/ambrix-server.service").split('\n')) {
            for (const QByteArray &name : line.startsWith("CapabilityBoundingSet=") ? line.mid(22).split(' ') : QList<QByteArray>())
                capabilities += ",+" + name.mid(4).toLower();
        }
        QVERIFY(capabilities.contains("+setuid"));
        const QString bounded = dir.path() + "/bin/bounded-server";
        QVERIFY(writeFile(bounded, "#!/bin/sh\nexec /usr/bin/setpriv --bounding-set " + capabilities + " -- " AMBRIX_SERVER_BIN " \"$@\"\n")
                && QFile::setPermissions(bounded, QFile::ReadOwner | QFile::ExeOwner));

        server.setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
        server.setEnv("PATH", QFileInfo(AMBRIX_LAUNCHER_BIN).path() + ":" + qEnvironmentVariable("PATH"));
        QVERIFY(server.start({}, bounded));
        QVERIFY(client = server.login(user.toUtf8(), ServerToken));
    }

    void cleanupTestCase()
    {
        xserver.terminate();
        xserver.waitForFinished();
        Programs::run(Programs::UserdelProgram, {user}, 30000);
    }

    // Opening in the user's desktop session with the user's default application, or a complaint.
    void opensWithTheUsersDefaultApplication_data() { addRowsFrom("desktopsession.rows", {{"extra", Extra}, {"user", user}}); }

    void opensWithTheUsersDefaultApplication()
    {
        if (!LoginRecords::areTheSessionSource())
            QSKIP("logind keeps this machine's sessions");
        const QString path = home + "/" + field("target"), session = field("session"), arguments = field("arguments");
        LoginRecords records;
        std::unique_ptr<QProcess> process;
        const auto stop = qScopeGuard([&process] {
            if (process) {
                ::kill(-pid_t(process->processId()), SIGKILL);
                process->waitForFinished();
            }
        });
        if (!session.isEmpty())
            QVERIFY((process = startSession(session)) && records.add(process->processId(), user));
        const int before = runs().size();

        QCOMPARE(client->request(field("request").replace("<path>", path).toUtf8()), QString(path).replace('/', '\\').toUtf8() + "\n");
        if (arguments.isEmpty()) {
            const QString sessionId = QString::number(process ? process->processId() : -1);
            const QByteArray line = "psexec: " + field("complaint").replace("<path>", path).replace("<session>", sessionId).toUtf8();
            QVERIFY2(waitUntil([&] { return server.standardError().contains(line); }, 10000), line.constData());
            QCOMPARE(runs().size(), before);
        } else {
            QVERIFY2(waitUntil([&] { return runs().size() > before; }, 10000), server.standardError().right(400).constData());
            const QString expected = uid + "|" + display + "|" + QString(arguments).replace("<path>", path) + "|";
            QCOMPARE(runs().last(), expected);
        }
        for (const QString &run : runs())
            QVERIFY2(!run.startsWith("0|"), "a program ran as root");
    }

    void refusesWhatItCannotStart_data() { addRowsFrom("desktopsession.rows"); }

    void refusesWhatItCannotStart()
    {
        const ProgramResult result = runProgram(AMBRIX_LAUNCHER_BIN, field("arguments").split('|'));
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.err, "psexec: " + field("complaint").toUtf8() + "\n");
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(DesktopSessionTest)
#include "tst_desktopsession.moc"
