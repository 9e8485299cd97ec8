#include "fakeprogram.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FakeProgram::FakeProgram(const QString &nameOrPath, const QByteArray &body)
    : programPath(nameOrPath.contains('/') ? nameOrPath : dir.filePath("bin/" + nameOrPath))
{
    // The serving process runs some programs as its own account: it must reach and write here.
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
    clearCalls();
    // One line per run, written at once, so a reader never sees half of it.
    script = "#!/bin/sh\nd='" + dir.path().toUtf8() + "'\nline=$(printf '%s|' \"$@\")\n"
             "printf '%s\\n' \"$line\" >> \"$d/calls\"\n" + body;
}

FakeProgram::~FakeProgram()
{
    remove();
}

bool FakeProgram::install()
{
    if (installed)
        return true;
    const QString parent = QFileInfo(programPath).path();
    if (!QFileInfo::exists(parent)) {
        if (!QDir().mkpath(parent))
            return false;
        createdDirectory = parent;
        QFile::setPermissions(parent, QFileDevice::Permissions(0x7755));
    }
    QFile file(programPath);
    // Never replaces a program that is there, nor one that appeared meanwhile.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    installed = true;
    return file.write(script) == script.size()
           && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                  | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

void FakeProgram::remove()
{
    if (installed)
        QFile::remove(programPath);
    installed = false;
    if (!createdDirectory.isEmpty())
        QDir().rmdir(createdDirectory);
    createdDirectory.clear();
}

QStringList FakeProgram::calls() const
{
    QStringList result;
    for (const QByteArray &line : readFile(dir.filePath("calls")).split('\n')) {
        if (!line.isEmpty())
            result.append(QString::fromUtf8(line.chopped(1))); // the "|" after the last argument
    }
    return result;
}

bool FakeProgram::waitForCalls(int count, int msecs) const
{
    return waitUntil([&] { return calls().size() >= count; }, msecs);
}

void FakeProgram::clearCalls()
{
    // Appended to by root and by the serving account alike.
    writeFile(dir.filePath("calls"), QByteArray());
    QFile::setPermissions(dir.filePath("calls"), QFileDevice::Permissions(0x6666));
}
