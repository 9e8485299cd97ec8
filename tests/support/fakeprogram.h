#pragma once

#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A stand-in for an external program: a shell script that records each run's arguments and then
// runs the given shell lines, in which $d names a scratch directory of its own (for control files
// a test writes and files the fake writes back). A bare name is placed in a directory meant to go
// first in the server's PATH; a path is taken only while nothing is installed there, and what was
// created for it goes again.
class FakeProgram
{
public:
    explicit FakeProgram(const QString &nameOrPath, const QByteArray &body = "exit 0\n");
    ~FakeProgram();
    FakeProgram(const FakeProgram &) = delete;
    FakeProgram &operator=(const FakeProgram &) = delete;

    bool install(); // false when another program is at the path: it is left alone
    void remove();
    QString path() const { return programPath; }
    QString directory() const { return dir.path(); } // $d
    QString pathEntry() const { return QFileInfo(programPath).path(); } // the directory of a bare-named fake

    QStringList calls() const; // the recorded runs, oldest first: "arg|arg|..." each
    bool waitForCalls(int count, int msecs = 10000) const;
    void clearCalls();

private:
    QTemporaryDir dir;
    QString programPath;
    QByteArray script;
    QString createdDirectory;
    bool installed = false;
};
