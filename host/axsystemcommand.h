#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Host operations: system figures, ending sessions, PXE boot files and chroot mounts. Static
// handlers only; the class exists for its translation context.
class AXSystemCommand : public QObject
{
    Q_OBJECT

public:
    static QString systemMemory();
    static QString systemDiskSpace();
    static QString systemLoad();
    static QString killSession(const QString &name);

    static QString setPxeConfigFile(const QString &mac, const QString &fileName, const QByteArray &contents);
    static QString removePxeConfigFile(const QString &mac, const QString &fileName);

    static QString mountChroot(const QString &p0, const QString &p1, const QString &userName,
                               const QString &password, const QString &p3, const QString &p4);
    static QString umountChroot(const QString &p0);

    // "Ok" for exit code 0, otherwise "Error " and the code.
    static QString replyForExitCode(int exitCode);

private:
    AXSystemCommand() = default;
};
