#include "host/axprintercommand.h"

#include "host/axsystemcommand.h"
#include "platform/programs.h"

#include <QStringList>

namespace {

// The user's printers are named after the user; a domain backslash is no use in a name.
QString printerPrefix(const QString &userName)
{
    QString prefix = userName + QStringLiteral("_GCP_");
    return prefix.replace(QLatin1Char('\\'), QLatin1Char('_'));
}

QString runManagePrinters(const QStringList &arguments)
{
    const Programs::Result result = Programs::run(QString::fromLatin1(Programs::ManagePrintersProgram), arguments, -1);
    return AXSystemCommand::replyForExitCode(Programs::exitCodeOf(result));
}

} // namespace

QString AXPrinterCommand::addGooglePrinter(const QString &p0, const QString &p1, const QString &userName, const QString &p2)
{
    return runManagePrinters({QStringLiteral("connect"), p0, p1, p2, printerPrefix(userName), userName});
}

QString AXPrinterCommand::removeGooglePrinter(const QString &p0, const QString &p1, const QString &userName, const QString &p2)
{
    return runManagePrinters({QStringLiteral("disconnect"), p0, p1, p2, printerPrefix(userName), userName});
}

QString AXPrinterCommand::pruneGooglePrinters(const QString &p0, const QString &userName)
{
    return runManagePrinters({QStringLiteral("prune"), p0, printerPrefix(userName)});
}
