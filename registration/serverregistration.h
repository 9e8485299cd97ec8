#pragma once

#include <QCoreApplication>
#include <QString>

#include <functional>

class QSettings;

// The registration procedure behind AXServer::registration(): makes sure this server has a token,
// then registers it with the principal server over the network, or, on the principal server
// itself, writes its own row. Progress (a percentage and a line of text) goes to the caller.
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

    using Progress = std::function<void(int percent, const QString &text)>;
    // Runs once the token is in the settings file, before anything goes over the network; false
    // stops the registration (RoleRefused).
    using BeforeNetwork = std::function<bool()>;

    explicit ServerRegistration(Progress progress, BeforeNetwork beforeNetwork = {});

    int run(const QString &adminUser, const QString &adminPassword);

private:
    int registerOwnRecord(QSettings &settings, const QString &principalAddress, int serverPort,
                          const QString &token, bool tokenIsNew);
    int registerWithPrincipal(QSettings &settings, const QString &principalAddress,
                              int principalPort, int serverPort, const QString &token,
                              const QString &adminUser, const QString &adminPassword);
    void report(int percent, const QString &text);

    Progress progress;
    BeforeNetwork beforeNetwork;
};
