#include "host/axprintercommand.h"

#include "host/axsystemcommand.h"
#include "platform/privileged.h"

QString AXPrinterCommand::addGooglePrinter(const QString &p0, const QString &p1, const QString &userName, const QString &p2)
{
    return AXSystemCommand::replyForExitCode(Privileged::connectPrinter(p0, p1, p2, userName));
}

QString AXPrinterCommand::removeGooglePrinter(const QString &p0, const QString &p1, const QString &userName, const QString &p2)
{
    return AXSystemCommand::replyForExitCode(Privileged::disconnectPrinter(p0, p1, p2, userName));
}

QString AXPrinterCommand::pruneGooglePrinters(const QString &p0, const QString &userName)
{
    return AXSystemCommand::replyForExitCode(Privileged::prunePrinters(p0, userName));
}
