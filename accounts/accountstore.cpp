#include "accounts/accountstore.h"

#include "base/settings.h"
#include "platform/domain/domainaccounts.h"
#include "platform/servername.h"

#include <QSettings>

std::unique_ptr<AccountBackend> AccountStore::accountsOf(const QString &server)
{
    if (ServerName::isThisHost(server))
        return Accounts::onHost(server);
    const QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    DomainAccounts::Target target;
    target.server = server;
    target.credentials.user = settings.value(Settings::DomainUser, QString()).toString();
    target.credentials.password = settings.value(Settings::DomainPassword, QString()).toString();
    target.credentials.useKeytab = settings.value(Settings::DomainUseKerberos, false).toBool();
    target.credentials.realm = settings.value(Settings::DomainRealm, QString()).toString();
    return DomainAccounts::onController(target);
}
