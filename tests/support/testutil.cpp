#include "testutil.h"

#include <QProcess>

ProgramResult runProgram(const QString &program, const QStringList &args, const QByteArray &input,
                         const QProcessEnvironment &env, int msecs)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    ProgramResult r;
    if (!p.waitForStarted(5000))
        return r;
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(msecs)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}
