#include "accounts/axusercommand.h"
#include "base/log.h"

#include "accounts/accountstore.h"
#include "accounts/loginfailurelimiter.h"
#include "accounts/userfolder.h"
#include "db/mysqlinfo.h"
#include "platform/netstatus.h"
#include "platform/privileged.h"
#include "platform/privilegedwire.h"
#include "platform/servername.h"
#include "registration/tokengenerator.h"

#include <QtDebug>

#include <algorithm>

namespace {

// Read afresh for every request: an operator may point the server at its logon server
// without a restart.
QString logonServer()
{
    return qEnvironmentVariable("LOGONSERVER");
}

// The logon server's accounts, chosen afresh like the server name.
std::unique_ptr<AccountBackend> accounts()
{
    return AccountStore::accountsOf(logonServer());
}

QString computerName()
{
    return qEnvironmentVariable("COMPUTERNAME");
}

const int maxListedGroups = 1000;

QString userCondition(const QString &name)
{
    return QStringLiteral("username=") + MySqlInfo::quote(name);
}

} // namespace

QString AXUserCommand::errorReply(const QString &message)
{
    return tr("Error: %1").arg(message);
}

// The texts several reply tables share; each table names the statuses it describes and what
// every other status answers.
QString AXUserCommand::statusError(quint32 status, std::initializer_list<quint32> described,
                                   const QString &otherwise)
{
    if (std::find(described.begin(), described.end(), status) == described.end())
        return errorReply(otherwise);
    switch (status) {
    case NetStatus::AccessDenied:
        return errorReply(tr("The user does not have access to the requested information"));
    case NetStatus::NotEnoughMemory:
        return errorReply(tr("Insufficient memory was available to complete the operation"));
    case NetStatus::InvalidParameter:
        return errorReply(tr("A parameter passed was not valid. This error is returned if the "
                             "num_entries parameter was not valid"));
    case NetStatus::InvalidLevel:
        return errorReply(tr("The system call level is not correct. This error is returned if the "
                             "level parameter was specified as a value other than 0 or 1."));
    case NetStatus::InternalError:
        return errorReply(tr("An internal error occurred"));
    case NetStatus::UserNotFound:
        return errorReply(tr("The user name could not be found"));
    case NetStatus::NotPrimary:
        return errorReply(tr("The operation is allowed only on the primary domain controller of the domain"));
    case NetStatus::SpeGroupOp:
        return errorReply(tr("This operation is not allowed on certain special groups"));
    case NetStatus::PasswordTooShort:
        return errorReply(tr("Invalid password"));
    case NetStatus::InvalidComputer:
        return errorReply(tr("The computer name is invalid"));
    default:
        return errorReply(otherwise);
    }
}

Accounts::UserInfo AXUserCommand::buildUserInfo(const QString &name, const QString &password,
                                                const QString &homeDir, const QString &profilePath)
{
    Accounts::UserInfo info;
    info.name = name;
    info.password = password;
    info.fullName = name;
    info.homeDir = homeDir;
    info.profilePath = profilePath;
    return info;
}

QString AXUserCommand::createUser(const QString &name, const QString &password)
{
    const quint32 status = accounts()->addUser(buildUserInfo(name, password, QString(), QString()));
    switch (status) {
    case NetStatus::Success:
        return QString();
    case NetStatus::UserExists:
        return errorReply(tr("User already exists"));
    case NetStatus::PasswordTooShort:
        return errorReply(tr("Invalid password"));
    default:
        return errorReply(tr("Unknown error creating user (Error: %1)").arg(status));
    }
}

QString AXUserCommand::createUserInGroups(const QString &name, const QString &password,
                                          const QStringList &groups)
{
    QString reply = createUser(name, password);
    if (!reply.isEmpty())
        return reply;
    // With two groups only the second addition's outcome is reported.
    for (const QString &group : groups)
        reply = enableUser(name, group);
    return reply;
}

QString AXUserCommand::enableUser(const QString &name, const QString &group)
{
    if (group.isEmpty())
        return tr("Error: Ambrix group is not defined");
    // The logon server's groups, like every other account call: in a domain the platform's
    // group is the domain's.
    const quint32 status = accounts()->addGroupMember(group, name);
    if (status == NetStatus::Success) {
        const QString token = TokenGenerator::newToken();
        return token.isEmpty() ? errorReply(tr("Token generation failed")) : token;
    }
    if (status == NetStatus::GroupNotFound) {
        return errorReply(tr("The group name specified by the grui*_name in the GROUP_USERS_INFO_* "
                             "structure pointed to by the buf parameter does not exist"));
    }
    return statusError(status,
                       {NetStatus::AccessDenied, NetStatus::NotEnoughMemory, NetStatus::InvalidParameter,
                        NetStatus::InvalidLevel, NetStatus::InternalError, NetStatus::UserNotFound,
                        NetStatus::NotPrimary, NetStatus::SpeGroupOp, NetStatus::InvalidComputer},
                       tr("Unknown error adding user to Ambrix default group"));
}

QString AXUserCommand::disableUser(const QString &name, const QString &group)
{
    if (group.isEmpty())
        return tr("Error: Ambrix group is not defined");
    if (accounts()->removeGroupMember(group, name) == NetStatus::Success)
        return tr("Success: User %1 disabled succesfully").arg(name);
    return errorReply(tr("Cannot disable user %1").arg(name));
}

QString AXUserCommand::removeUser(const QString &name)
{
    const quint32 status = accounts()->deleteUser(name);
    if (status == NetStatus::Success)
        return tr("Success: User %1 removed succesfully").arg(name);
    return statusError(status,
                       {NetStatus::AccessDenied, NetStatus::UserNotFound, NetStatus::NotPrimary,
                        NetStatus::InvalidComputer},
                       tr("Unknown error removing user"));
}

QString AXUserCommand::changeUserPassword(const QString &name, const QString &oldPassword,
                                          const QString &newPassword, const QString &clientAddress,
                                          const QString &limitedAs)
{
    if (!oldPassword.isEmpty()) {
        // Checking the old password is a host-password check: limited like a login's.
        quint32 status = NetStatus::InvalidPassword;
        LoginFailureLimiter::instance().check(clientAddress, limitedAs.isEmpty() ? name : limitedAs, [&] {
            status = accounts()->changePassword(name, oldPassword, newPassword);
            return status != NetStatus::InvalidPassword;
        });
        if (status == NetStatus::Success)
            return tr("Success: Password for user %1 changed succesfully").arg(name);
        return errorReply(tr("Cannot change password"));
    }
    const quint32 status = accounts()->setPassword(name, newPassword);
    if (status == NetStatus::Success)
        return tr("Success: Password for user %1 changed succesfully").arg(name);
    return statusError(status, {NetStatus::UserNotFound, NetStatus::NotPrimary, NetStatus::PasswordTooShort},
                       tr("Unknown error changing user password"));
}

QString AXUserCommand::createGroup(const QString &group)
{
    switch (accounts()->addGroup(group)) {
    case NetStatus::Success:
        return QString();
    case NetStatus::GroupExists:
        return errorReply(tr("Group already exists"));
    case NetStatus::NotPrimary:
        return errorReply(tr("Not primary domain controller for domain"));
    default:
        return tr("Error: Unknown error creating group");
    }
}

QString AXUserCommand::removeGroup(const QString &group)
{
    const quint32 status = accounts()->deleteGroup(group);
    if (status == NetStatus::Success)
        return tr("Success: Group %1 removed succesfully").arg(group);
    if (status == NetStatus::GroupNotFound)
        return errorReply(tr("The group name could not be found"));
    return statusError(status, {NetStatus::AccessDenied, NetStatus::NotPrimary, NetStatus::InvalidComputer},
                       tr("Unknown error removing group"));
}

QString AXUserCommand::listGroups()
{
    // One batch: with more groups than that, the first ones only.
    const Accounts::NameList groups = accounts()->groupNames(maxListedGroups);
    if (groups.status == NetStatus::Success || groups.status == NetStatus::MoreData)
        return groups.names.join(QLatin1Char(','));
    AX_DEBUG("Error: %u\n", groups.status);
    return errorReply(tr("Unknown error listing groups (%1)").arg(groups.status));
}

QStringList AXUserCommand::groupMemberNames(const QString &group)
{
    // A failed listing is an empty group.
    const QStringList names = accounts()->groupMembers(group).names;
    AX_DEBUG("Total users: %d", int(names.size()));
    return names;
}

QString AXUserCommand::listGroupMembers(const QString &group)
{
    return groupMemberNames(group).join(QLatin1Char(','));
}

bool AXUserCommand::isUserInGroup(const QString &name, const QString &group)
{
    const QStringList names = groupMemberNames(group);
    AX_DEBUG() << "Group members:" << names;
    return !name.isEmpty() && names.contains(accounts()->memberName(name), Qt::CaseInsensitive);
}

QString AXUserCommand::createUserFolder(const QString &userName, const QString &baseFolder)
{
    // The privileged side makes the folder, secures and shares it. Outside the operator's folder
    // roots, or with a name that would leave the base folder, it does nothing, and nothing
    // changes on the account either.
    const Privileged::FolderCreation created = Privileged::createUserFolder(userName, baseFolder);
    if (!created.allowed)
        return tr("Error: cannot share user folder: %1").arg(QString());
    QStringList problems;

    // A host account's home becomes the folder, and the roaming-profile path goes along in the
    // record, though a Linux account keeps none. A domain account gets the share's paths, which
    // the domain's other computers reach.
    const UserFolder folder(userName);
    const QString home = ServerName::isThisHost(logonServer()) ? created.path : folder.homeSharePath(computerName());
    const quint32 profileStatus = accounts()->setUserInfo(
        userName, buildUserInfo(userName, QString(), home, folder.profilePath(computerName())));
    if (profileStatus != NetStatus::Success)
        problems.append(tr("Cannot set profile on user (Error %1)").arg(profileStatus));

    if (created.lookupStatus != NetStatus::Success) {
        problems.append(tr("getSid error %1 (username=%2)").arg(QString::number(created.lookupStatus), userName));
    } else {
        for (const quint32 acl : created.acls) {
            if (acl == PrivilegedWire::AclNotBuilt)
                problems.append(tr("Failed SetEntriesInAcl"));
            else if (acl == PrivilegedWire::AclNotApplied)
                problems.append(tr("Failed SetNamedSecurityInfo"));
        }
    }

    // Only the share decides the reply. A folder that is not a real directory (a link planted in
    // its place) is never shared: the share would expose what the link points to.
    if (created.shareStatus == NetStatus::Success)
        return tr("Ok");
    return tr("Error: cannot share user folder: %1").arg(problems.join(QLatin1Char(',')));
}

QString AXUserCommand::removeUserFolder(const QString &userName, const QString &baseFolder)
{
    // The folder goes even when the share could not be removed.
    const Privileged::FolderRemoval removed = Privileged::removeUserFolder(userName, baseFolder);
    return removed.allowed && removed.shareStatus == NetStatus::Success ? tr("Ok")
                                                                        : tr("Error: cannot unshare user folder");
}

QString AXUserCommand::activateUser(MySqlInfo *db, const QString &name)
{
    const QString token = TokenGenerator::newToken();
    // An update that matches no row succeeds too: only a token that reads back was stored.
    if (db && db->updateColumn(QStringLiteral("ax_user"), userCondition(name), QStringLiteral("token"), token)
        && userToken(db, name) == token)
        return token;
    AX_DEBUG("Something failed writing token on database");
    return QString();
}

QString AXUserCommand::userToken(MySqlInfo *db, const QString &name)
{
    return userTokens(db, name).value(0);
}

QStringList AXUserCommand::userTokens(MySqlInfo *db, const QString &name)
{
    if (!db)
        return QStringList();
    // The login's statement: prepared once per database connection, only the name sent after.
    return db->selectColumn(QStringLiteral("ax_user"), QStringLiteral("token"), QStringLiteral("username=?"), QStringList{name});
}

QString AXUserCommand::userNameById(MySqlInfo *db, const QString &id)
{
    // Ids are numbers: anything else names no user (the database would read "12abc" as 12).
    bool isNumber = false;
    const qulonglong number = id.toULongLong(&isNumber);
    if (!db || !isNumber)
        return QString();
    const QStringList names = db->selectColumn(QStringLiteral("ax_user"), QStringLiteral("username"),
                                               QStringLiteral("id=") + MySqlInfo::quote(QString::number(number)));
    return names.isEmpty() ? QString() : names.first();
}
