#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Running an external program: a path and an argument list, never a shell.
namespace Programs {

struct Result {
    bool started = false;   // false: the program could not be run at all
    bool crashed = false;   // ended by a signal
    bool timedOut = false;  // killed after the time limit
    int exitCode = -1;      // meaningful only when exited()
    QByteArray standardOutput;

    bool exited() const { return started && !crashed && !timedOut; }
    bool succeeded() const { return exited() && exitCode == 0; }
};

// Waits at most timeoutMs in all (negative: no limit); a program still running then is killed.
// standardInput is written to the program, whose input is then closed (secrets go this way,
// never as arguments). The program's error output goes to the server's own.
Result run(const QString &program, const QStringList &arguments, int timeoutMs,
           const QByteArray &standardInput = QByteArray());

// Waits at most startMs for the program to start and then, separately, at most finishMs for it to
// end; a program still running then is killed (timedOut).
Result runWithWaits(const QString &program, const QStringList &arguments, int startMs, int finishMs);

// Starts the program and does not wait for it; false when it could not be started.
bool startDetached(const QString &program, const QStringList &arguments);

// The program's exit code as replies report it: -2 when it could not be started, -1 when it
// crashed or was killed after its time limit.
int exitCodeOf(const Result &result);

// One of the server's own helper programs (name alone): beside the server's binary in the build
// tree, in the package's library directory relative to the binary (so an unpacked package finds
// its own), else where the package puts it.
QString ownProgramPath(const char *name);

// The external programs of the platform. Their locations are fixed; "psexec" and "wget" are
// found via PATH ("psexec" is the package's launcher, in /usr/lib/ambrix-server/bin).
inline constexpr char PsexecProgram[] = "psexec";
inline constexpr char WgetProgram[] = "wget";
inline constexpr char MountChrootProgram[] = "/usr/sbin/mountchroot";
inline constexpr char UmountChrootProgram[] = "/usr/sbin/umountchroot";
inline constexpr char ManagePrintersProgram[] = "/usr/lib/cloudprint-cups/manageprinters.py";

// The host's account tools (package passwd) and its share registry tool (samba-common-bin).
inline constexpr char UseraddProgram[] = "/usr/sbin/useradd";
inline constexpr char UserdelProgram[] = "/usr/sbin/userdel";
inline constexpr char UsermodProgram[] = "/usr/sbin/usermod";
inline constexpr char ChpasswdProgram[] = "/usr/sbin/chpasswd";
inline constexpr char GroupaddProgram[] = "/usr/sbin/groupadd";
inline constexpr char GroupdelProgram[] = "/usr/sbin/groupdel";
inline constexpr char GpasswdProgram[] = "/usr/bin/gpasswd";
inline constexpr char NetProgram[] = "/usr/bin/net";

} // namespace Programs
