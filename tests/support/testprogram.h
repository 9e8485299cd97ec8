#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Result of a program run to completion; exitCode is -1 when it crashed or did not finish.
struct ProgramResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs program with args, feeding input on its standard input, and waits up to msecs.
ProgramResult runProgram(const QString &program, const QStringList &args, const QByteArray &input = QByteArray(),
                         const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                         int msecs = 120000);
