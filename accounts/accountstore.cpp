#include "accounts/accountstore.h"

#include "app/settings.h"
#include "platform/domainaccounts.h"
#include "platform/servername.h"

#include <QSettings>

namespace {

// Read for every request, like every setting: a changed password takes effect at once.
DomainAccounts::Target domainOf(const QString &server)
{
    const QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    DomainAccounts::Target target;
    target.server = server;
    target.credentials.user = settings.value(Settings::DomainUser, QString()).toString();
    target.credentials.password = settings.value(Settings::DomainPassword, QString()).toString();
    target.credentials.useKeytab = settings.value(Settings::DomainUseKerberos, false).toBool();
    target.credentials.realm = settings.value(Settings::DomainRealm, QString()).toString();
    return target;
}

template <typename OnHost, typename InDomain>
auto chosen(const QString &server, OnHost onHost, InDomain inDomain)
{
    return ServerName::isThisHost(server) ? onHost() : inDomain(domainOf(server));
}

using Target = DomainAccounts::Target;

} // namespace

namespace AccountStore {

quint32 addUser(const QString &server, const Accounts::UserInfo &info)
{
    return chosen(server, [&] { return Accounts::addUser(server, info); },
                  [&](const Target &domain) { return DomainAccounts::addUser(domain, info); });
}

quint32 deleteUser(const QString &server, const QString &name)
{
    return chosen(server, [&] { return Accounts::deleteUser(server, name); },
                  [&](const Target &domain) { return DomainAccounts::deleteUser(domain, name); });
}

quint32 setUserInfo(const QString &server, const QString &name, const Accounts::UserInfo &info)
{
    return chosen(server, [&] { return Accounts::setUserInfo(server, name, info); },
                  [&](const Target &domain) { return DomainAccounts::setUserInfo(domain, name, info); });
}

quint32 setPassword(const QString &server, const QString &name, const QString &password)
{
    return chosen(server, [&] { return Accounts::setPassword(server, name, password); },
                  [&](const Target &domain) { return DomainAccounts::setPassword(domain, name, password); });
}

quint32 changePassword(const QString &server, const QString &name, const QString &oldPassword,
                       const QString &newPassword)
{
    return chosen(server, [&] { return Accounts::changePassword(server, name, oldPassword, newPassword); },
                  [&](const Target &domain) {
                      return DomainAccounts::changePassword(domain, name, oldPassword, newPassword);
                  });
}

quint32 addGroup(const QString &server, const QString &group)
{
    return chosen(server, [&] { return Accounts::addGroup(server, group); },
                  [&](const Target &domain) { return DomainAccounts::addGroup(domain, group); });
}

quint32 deleteGroup(const QString &server, const QString &group)
{
    return chosen(server, [&] { return Accounts::deleteGroup(server, group); },
                  [&](const Target &domain) { return DomainAccounts::deleteGroup(domain, group); });
}

quint32 addGroupMember(const QString &server, const QString &group, const QString &user)
{
    return chosen(server, [&] { return Accounts::addGroupMember(server, group, user); },
                  [&](const Target &domain) { return DomainAccounts::addGroupMember(domain, group, user); });
}

quint32 removeGroupMember(const QString &server, const QString &group, const QString &user)
{
    return chosen(server, [&] { return Accounts::removeGroupMember(server, group, user); },
                  [&](const Target &domain) { return DomainAccounts::removeGroupMember(domain, group, user); });
}

Accounts::NameList groupMembers(const QString &server, const QString &group)
{
    return chosen(server, [&] { return Accounts::groupMembers(server, group); },
                  [&](const Target &domain) { return DomainAccounts::groupMembers(domain, group); });
}

Accounts::NameList groupNames(const QString &server, int maxCount)
{
    return chosen(server, [&] { return Accounts::groupNames(server, maxCount); },
                  [&](const Target &domain) { return DomainAccounts::groupNames(domain, maxCount); });
}

QString memberName(const QString &server, const QString &user)
{
    return chosen(server, [&] { return user; }, [&](const Target &) { return DomainAccounts::accountName(user); });
}

bool checkDomainPassword(const QString &server, const QString &user, const QString &password)
{
    return chosen(server, [] { return false; },
                  [&](const Target &domain) { return DomainAccounts::checkPassword(domain, user, password); });
}

} // namespace AccountStore
