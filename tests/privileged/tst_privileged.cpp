// The privileged side of this build driven directly, the way a serving process that is no longer
// ours could: every request is sent from a child that has given up root exactly as the server
// does (the serving account, no capabilities, the system-call filter). Hostile operations must be
// refused whatever shape they take, and folders swapped for links in a loop while root works in
// them must never lead it elsewhere. Private copies of /etc and the share registry.
#include "platform/confinement.h"
#include "platform/framedsocket.h"
#include "platform/netstatus.h"
#include "platform/privilegedside.h"
#include "platform/privilegedwire.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testserver.h"

#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// The reply as a serving process sees it: its status, or "gone" when the privileged side did not
// answer, and its values.
Wire::Fields askAsServingAccount(const Wire::Fields &request)
{
    int pipe[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipe) != 0)
        return {"no socket"};
    const pid_t child = ::fork();
    if (child == 0) {
        QString error;
        Wire::Fields reply{"not confined: "};
        if (Confinement::confine(&error)) {
            const PrivilegedSide::Reply answer = PrivilegedSide::call(request);
            reply = {answer.answered ? std::to_string(answer.status) : "gone"};
            reply.insert(reply.end(), answer.values.begin(), answer.values.end());
        } else {
            reply[0] += error.toStdString();
        }
        FramedSocket::send(pipe[1], reply);
        ::_exit(0);
    }
    ::close(pipe[1]);
    Wire::Fields reply{"no child"};
    int descriptor = -1;
    if (child > 0 && !FramedSocket::receive(pipe[0], &reply, &descriptor))
        reply = {"no reply"};
    if (descriptor >= 0)
        ::close(descriptor);
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return reply;
}

QString statusOf(const Wire::Fields &reply)
{
    if (reply.empty())
        return QStringLiteral("empty");
    const QString status = QString::fromStdString(reply[0]);
    return status == QString::number(PrivilegedWire::Refused) ? QStringLiteral("refused") : status;
}

QByteArray accessList(const QString &path)
{
    return Programs::run(QStringLiteral("/usr/bin/getfacl"), {QStringLiteral("--omit-header"), path}, 30000).standardOutput;
}

// Everything below a directory: names, and the contents of files.
QStringList treeOf(const QString &directory)
{
    QStringList tree;
    QDirIterator it(directory, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree << path + "=" + QString::fromUtf8(readFile(path));
    }
    tree.sort();
    return tree;
}

} // namespace

class PrivilegedTest : public QObject
{
    Q_OBJECT

    const QString prefix = QStringLiteral("axp%1").arg(QCoreApplication::applicationPid());
    QTemporaryDir scratch;
    QTemporaryDir programFiles;
    QString root, victim, owned;

private slots:
    void initTestCase()
    {
        // The folder root, a user's own folder inside it, and what lies outside: a victim that
        // holds what an attack would reach for.
        root = scratch.filePath("root");
        owned = root + "/" + prefix + "u";
        victim = scratch.filePath("victim");
        for (const QString &dir : {owned + "/x", victim + "/etc", victim + "/" + prefix + "v"})
            QVERIFY(QDir().mkpath(dir));
        QVERIFY(writeFile(victim + "/shadow", "precious") && writeFile(victim + "/etc/passwd", "precious"));
        QVERIFY(QFile::link(victim, owned + "/link"));
        for (const QString &account : {prefix + "u", prefix + "v"})
            QVERIFY(Programs::run(Programs::UseraddProgram, {"-M", "-U", "--", account}, 30000).succeeded());
        QVERIFY(Programs::run("/bin/chown", {"-R", prefix + "u:", owned}, 30000).succeeded());
        QVERIFY(QDir().mkpath(programFiles.filePath("Ambrix Server")));
        QVERIFY(writeFile(programFiles.filePath("Ambrix Server/ambrix-server.ini"),
                          "[Server]\nUserFolderRoots=" + root.toUtf8() + "\nLoginFailureAddressLimit=3\n"));
        qputenv("PROGRAMW6432", programFiles.path().toUtf8());
        qputenv("windir", scratch.filePath("windir").toUtf8());
        QVERIFY(startPrivilegedSideInProcess());
    }

    // Requests no serving process of ours sends, or that would reach beyond the platform's own
    // accounts and folders: refused, or answered with the operation's own "no".
    void refusesHostileRequests_data()
    {
        addRowsFrom("privileged.rows", {{"p", prefix}, {"root", root}, {"victim", victim}, {"long", QString(5000, 'x')}});
    }

    void refusesHostileRequests()
    {
        const QList<QByteArray> accountsBefore{readFile("/etc/passwd"), readFile("/etc/group"), readFile("/etc/shadow")};
        const QStringList victimBefore = treeOf(victim);
        const QByteArray victimAcl = accessList(victim + "/etc");
        Wire::Fields request;
        for (const QString &field : field("request").split('^'))
            request.push_back(field.toStdString());
        QCOMPARE(statusOf(askAsServingAccount(request)), field("status"));
        QCOMPARE(QList<QByteArray>({readFile("/etc/passwd"), readFile("/etc/group"), readFile("/etc/shadow")}), accountsBefore);
        QCOMPARE(treeOf(victim), victimBefore);
        QCOMPARE(accessList(victim + "/etc"), victimAcl);
    }

    // The privileged side's own guard: a user's password is not tried beyond the limit, whoever
    // asks and from wherever.
    void passwordGuessingIsCappedPerUser()
    {
        const QString user = prefix + "v";
        QVERIFY(Programs::run(Programs::ChpasswdProgram, {}, 30000, (user + ":Right-pass-1\n").toUtf8()).succeeded());
        // Ten times the address limit of the settings (3).
        for (int i = 0; i < 30; ++i)
            QCOMPARE(statusOf(askAsServingAccount({PrivilegedWire::CheckPassword, user.toStdString(), "wrong", "0"})),
                     QString::number(NetStatus::InvalidPassword));
        QCOMPARE(statusOf(askAsServingAccount({PrivilegedWire::CheckPassword, user.toStdString(), "Right-pass-1", "0"})),
                 QString::number(NetStatus::InvalidPassword));
    }

    // A user swaps a folder below its own for a link, over and over, while root creates and
    // deletes user folders and opens uploads there: root never follows it.
    void linksSwappedInALoop_data() { addRowsFrom("privileged.rows", {{"p", prefix}}); }

    void linksSwappedInALoop()
    {
        const QStringList victimBefore = treeOf(victim);
        const QByteArray victimAcl = accessList(victim + "/etc") + accessList(victim + "/" + prefix + "v");
        const QByteArray base = QFile::encodeName(owned + "/x"), link = QFile::encodeName(owned + "/link");
        std::atomic<bool> swapping{true};
        std::thread attacker([&] {
            while (swapping)
                ::renameat2(AT_FDCWD, base.constData(), AT_FDCWD, link.constData(), RENAME_EXCHANGE);
        });
        Wire::Fields request;
        for (const QString &field : field("request").replace("{base}", owned + "/x").split('^'))
            request.push_back(field.toStdString());
        for (int i = 0; i < 15; ++i)
            askAsServingAccount(request);
        swapping = false;
        attacker.join();
        QCOMPARE(treeOf(victim), victimBefore);
        QCOMPARE(accessList(victim + "/etc") + accessList(victim + "/" + prefix + "v"), victimAcl);
        QVERIFY(QFileInfo::exists("/etc/shadow"));
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(PrivilegedTest)
#include "tst_privileged.moc"
