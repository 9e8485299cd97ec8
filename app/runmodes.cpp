#include "app/runmodes.h"

#include "app/axserver.h"
#include "app/metricsscrape.h"
#include "app/options.h"
#include "base/log.h"
#include "base/settings.h"
#include "dispatch/commandtable.h"
#include "net/listener.h"
#include "platform/confinement.h"
#include "platform/journal.h"
#include "platform/privilegedside.h"
#include "platform/servicemanager.h"
#include "registration/initdialog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QHostAddress>
#include <QtDebug>

#include <cstdio>
#include <memory>

namespace {

void sendToJournal(bool isError, const QString &text, const Log::Context &context)
{
    Journal::send(isError, text, {context.clientAddress, QString::fromLatin1(context.command), context.user});
}

void nameApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrova"));
    QCoreApplication::setApplicationName(QStringLiteral("Ambrix Server"));
}

} // namespace

namespace RunModes {

int serve(int argc, char **argv, const QString &port, const QString &address)
{
    if (!Options::errorText().isNull()) {
        std::printf("%s\n", qUtf8Printable(Options::errorText()));
        Options::printUsage(argv[0]);
        return 1;
    }
    QString duplicate;
    if (!CommandTable::hasUniqueNames(&duplicate)) {
        std::printf("Command table lists %s twice\n", qUtf8Printable(duplicate));
        return 1;
    }
    MetricsScrape::declareCommands();
    int portNumber = 0;
    if (!port.isNull())
        portNumber = port.toInt(); // not a number: 0
    QHostAddress listenAddress(QHostAddress::AnyIPv4);
    if (!address.isNull())
        listenAddress = QHostAddress(address);

    // The event loop never runs: the accept loop occupies this thread.
    QCoreApplication application(argc, argv);
    nameApplication();
    // Not a debug line: it stays when an operator silences those.
    qInfo("Ambrix Server %s", AMBRIX_VERSION);

    // Root's part comes first, before any byte from the network: the privileged side starts, and
    // the files the serving process reads become readable to the account it turns into.
    QString reason;
    if (Confinement::isRoot()
        && !Confinement::prepareFiles(Settings::settingsPath(), Settings::mediaDirectory(), &reason)) {
        std::printf("%s\n", qUtf8Printable(reason));
        return 1;
    }
    if (!PrivilegedSide::start(&reason)) {
        std::printf("The privileged side could not be started: %s\n", qUtf8Printable(reason));
        return 1;
    }
    // Under the service manager each entry also goes to its journal, with the fields it is
    // searched by.
    if (Journal::isAttached())
        Log::setStructuredWriter(sendToJournal);
    if (qgetenv("DEBUG_NOAUTH") == "1")
        Log::error(QStringLiteral("DEBUG_NOAUTH is 1: every login is accepted without any check"));

    auto server = std::make_unique<AXServer>();
    const int result = server->start(listenAddress.toString().toUtf8(), portNumber);
    if (result != 0) {
        std::printf("%s. Error %d: %s\n",
                    qUtf8Printable(QCoreApplication::translate("main", "Unable to start Ambrix server")),
                    result, qUtf8Printable(server->errorText()));
        std::fflush(stdout);
    }
    return result;
}

int runDialog(int argc, char **argv, const QString &adminUser, const QString &adminPassword)
{
    QApplication application(argc, argv);
    nameApplication();
    return showInitDialog(adminUser, adminPassword);
}

int showInitDialog(const QString &adminUser, const QString &adminPassword)
{
    InitDialog dialog(adminUser, adminPassword, nullptr);
    return dialog.exec() == QDialog::Accepted ? 0 : 1;
}

int runRegistration(const QString &adminUser, const QString &adminPassword)
{
    QString reason;
    // Root writes the token; the principal server's replies are read without privilege.
    const auto giveUpRoot = [&reason] {
        const bool root = Confinement::isRoot();
        return (!root || Confinement::prepareFiles(Settings::settingsPath(), Settings::mediaDirectory(), &reason))
            && Confinement::confine(&reason);
    };
    if (Confinement::isRoot() && !Confinement::prepareFiles(Settings::settingsPath(), Settings::mediaDirectory(), &reason)) {
        std::printf("%s\n", qUtf8Printable(reason));
        return 1;
    }
    AXServer server;
    const int result = server.registration(adminUser, adminPassword, giveUpRoot);
    if (!reason.isEmpty())
        std::printf("%s\n", qUtf8Printable(reason));
    return result;
}

void stopServingFromSignal()
{
    ServiceManager::notifyStopping();
    Listener::stopFromSignal();
}

} // namespace RunModes
