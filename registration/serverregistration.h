#pragma once

#include <QCoreApplication>
#include <QString>

class AXServer;
class QSettings;

// The registration procedure behind AXServer::registration(): makes sure this server has a token,
// then registers it with the principal server over the network, or, on the principal server
// itself, writes its own row. Progress goes out through the server's two signals.
class ServerRegistration
{
    Q_DECLARE_TR_FUNCTIONS(ServerRegistration)

public:
    // Process exit codes of the command-line registration.
    enum Result {
        Done = 0,
        RoleRefused = 1,
        OsIdRefused = 2,
        PrincipalUnreachable = 253,
        TokenRefused = 254,
        LoginRefused = 255,
    };

    explicit ServerRegistration(AXServer &server);

    int run(const QString &adminUser, const QString &adminPassword);

private:
    int registerOwnRecord(QSettings &settings, const QString &principalAddress, int serverPort,
                          const QString &token, bool tokenIsNew);
    int registerWithPrincipal(QSettings &settings, const QString &principalAddress,
                              int principalPort, int serverPort, const QString &token,
                              const QString &adminUser, const QString &adminPassword);
    void report(int percent, const QString &text);

    AXServer &server;
};
