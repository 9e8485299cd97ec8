#include "platform/privileged.h"

#include "platform/fieldcheck.h"
#include "platform/netstatus.h"
#include "platform/privilegedside.h"
#include "platform/privilegedwire.h"

#include <unistd.h>

#include <cstdlib>
#include <initializer_list>

namespace {

using namespace PrivilegedWire;

quint32 number(const std::string &text)
{
    return quint32(std::strtoul(text.c_str(), nullptr, 10));
}

std::string bytes(const QString &text)
{
    return text.toStdString();
}

bool fits(FieldKind kind, const QString &value)
{
    return FieldCheck::isAcceptable(kind, value.toStdString());
}

bool allFit(FieldKind kind, std::initializer_list<QString> values)
{
    for (const QString &value : values) {
        if (!fits(kind, value))
            return false;
    }
    return true;
}

PrivilegedSide::Reply ask(const Wire::Fields &request)
{
    PrivilegedSide::Reply reply = PrivilegedSide::call(request);
    if (!reply.answered)
        reply.status = Refused;
    return reply;
}

// An account operation's status; a refusal (or no privileged side) is the tools' internal error.
quint32 accountStatus(const Wire::Fields &request)
{
    const PrivilegedSide::Reply reply = ask(request);
    if (reply.descriptor >= 0)
        ::close(reply.descriptor);
    return reply.status == Refused ? quint32(NetStatus::InternalError) : reply.status;
}

int valueAsNumber(const PrivilegedSide::Reply &reply, int index, int otherwise)
{
    if (reply.status != 0 || int(reply.values.size()) <= index)
        return otherwise;
    return std::atoi(reply.values[size_t(index)].c_str());
}

// What a program's run answers when it could not run at all.
constexpr int notStarted = -2;

} // namespace

namespace Privileged {

quint32 addUser(const QString &name, const QString &fullName, const QString &home, const QString &password)
{
    return accountStatus({AddUser, bytes(name), bytes(fullName), bytes(home), bytes(password)});
}

quint32 deleteUser(const QString &name)
{
    return accountStatus({DeleteUser, bytes(name)});
}

quint32 setUserInfo(const QString &name, const QString &fullName, const QString &home, const QString &password)
{
    return accountStatus({SetUserInfo, bytes(name), bytes(fullName), bytes(home), bytes(password)});
}

quint32 setPassword(const QString &name, const QString &password)
{
    return accountStatus({SetPassword, bytes(name), bytes(password)});
}

quint32 changePassword(const QString &name, const QString &oldPassword, const QString &newPassword)
{
    return accountStatus({ChangePassword, bytes(name), bytes(oldPassword), bytes(newPassword)});
}

quint32 addGroup(const QString &group)
{
    return accountStatus({AddGroup, bytes(group)});
}

quint32 deleteGroup(const QString &group)
{
    return accountStatus({DeleteGroup, bytes(group)});
}

quint32 addGroupMember(const QString &group, const QString &user)
{
    return accountStatus({AddGroupMember, bytes(group), bytes(user)});
}

quint32 removeGroupMember(const QString &group, const QString &user)
{
    return accountStatus({RemoveGroupMember, bytes(group), bytes(user)});
}

bool checkPassword(const QString &user, const QString &password, bool acceptExpired)
{
    if (!fits(FieldKind::AccountName, user) || !fits(FieldKind::Password, password))
        return false;
    return ask({CheckPassword, bytes(user), bytes(password), acceptExpired ? "1" : "0"}).status == 0;
}

FolderCreation createUserFolder(const QString &user, const QString &baseFolder)
{
    FolderCreation creation;
    if (!fits(FieldKind::AccountName, user) || !fits(FieldKind::Path, baseFolder))
        return creation;
    const PrivilegedSide::Reply reply = ask({CreateUserFolder, bytes(user), bytes(baseFolder)});
    if (reply.status != 0 || reply.values.size() < 3)
        return creation;
    creation.allowed = true;
    creation.path = QString::fromStdString(reply.values[0]);
    creation.lookupStatus = number(reply.values[1]);
    for (size_t i = 2; i + 1 < reply.values.size(); ++i)
        creation.acls.append(number(reply.values[i]));
    creation.shareStatus = number(reply.values.back());
    return creation;
}

FolderRemoval removeUserFolder(const QString &user, const QString &baseFolder)
{
    FolderRemoval removal;
    if (!fits(FieldKind::AccountName, user) || !fits(FieldKind::Path, baseFolder))
        return removal;
    const PrivilegedSide::Reply reply = ask({RemoveUserFolder, bytes(user), bytes(baseFolder)});
    removal.allowed = reply.status != Refused;
    removal.shareStatus = reply.status;
    return removal;
}

quint32 openUploadFile(const QString &user, const QString &targetDir, const QString &fileName, QFile *file)
{
    if (!fits(FieldKind::AccountName, user))
        return NoUploadAccount;
    if (!fits(FieldKind::RelativePath, targetDir))
        return NoTargetDirectory;
    if (!fits(FieldKind::Text, fileName))
        return NoUploadFile;
    const PrivilegedSide::Reply reply = ask({OpenUploadFile, bytes(user), bytes(targetDir), bytes(fileName)});
    const quint32 status = reply.status == Refused ? quint32(NoUploadDirectory) : reply.status;
    if (status == UploadOpened && reply.descriptor >= 0
        && file->open(reply.descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
        return status;
    if (reply.descriptor >= 0)
        ::close(reply.descriptor);
    return status == UploadOpened ? quint32(NoUploadFile) : status;
}

int openInSession(const QString &user, const QString &path, const QString &extra)
{
    if (!fits(FieldKind::UserName, user) || !allFit(FieldKind::Text, {path, extra}))
        return -1;
    return valueAsNumber(ask({OpenInSession, bytes(user), bytes(path), bytes(extra)}), 0, -1);
}

void endSession(const QString &user)
{
    if (fits(FieldKind::UserName, user))
        ask({EndSession, bytes(user)});
}

quint32 writePxeFile(const QString &client, const QString &fileName, const QByteArray &content)
{
    if (!fits(FieldKind::Text, client))
        return PxeNoDirectory;
    if (!fits(FieldKind::Text, fileName) || !FieldCheck::isAcceptable(FieldKind::Content, content.toStdString()))
        return PxeNoFile;
    const quint32 status = ask({WritePxeFile, bytes(client), bytes(fileName), content.toStdString()}).status;
    return status == Refused ? quint32(PxeNoFile) : status;
}

quint32 removePxeFile(const QString &client, const QString &fileName)
{
    if (!allFit(FieldKind::Text, {client, fileName}))
        return PxeNoFile;
    const quint32 status = ask({RemovePxeFile, bytes(client), bytes(fileName)}).status;
    return status == Refused ? quint32(PxeNoFile) : status;
}

int mountChroot(const QString &p0, const QString &p1, const QString &user, const QString &password,
                const QString &p3, const QString &p4)
{
    if (!allFit(FieldKind::Argument, {p0, p1, user, p3, p4}) || !fits(FieldKind::Password, password))
        return notStarted;
    return valueAsNumber(ask({MountChroot, bytes(p0), bytes(p1), bytes(user), bytes(password), bytes(p3), bytes(p4)}),
                         0, notStarted);
}

bool umountChroot(const QString &argument)
{
    if (!fits(FieldKind::Argument, argument))
        return false;
    return valueAsNumber(ask({UmountChroot, bytes(argument)}), 0, 0) == 1;
}

int connectPrinter(const QString &p0, const QString &p1, const QString &p2, const QString &user)
{
    if (!allFit(FieldKind::Argument, {p0, p1, p2, user}))
        return notStarted;
    return valueAsNumber(ask({ConnectPrinter, bytes(p0), bytes(p1), bytes(p2), bytes(user)}), 0, notStarted);
}

int disconnectPrinter(const QString &p0, const QString &p1, const QString &p2, const QString &user)
{
    if (!allFit(FieldKind::Argument, {p0, p1, p2, user}))
        return notStarted;
    return valueAsNumber(ask({DisconnectPrinter, bytes(p0), bytes(p1), bytes(p2), bytes(user)}), 0, notStarted);
}

int prunePrinters(const QString &p0, const QString &user)
{
    if (!allFit(FieldKind::Argument, {p0, user}))
        return notStarted;
    return valueAsNumber(ask({PrunePrinters, bytes(p0), bytes(user)}), 0, notStarted);
}

CloudRun manageCloud(const QString &user, const QString &provider, const QString &action, const QString &extra,
                     bool startThenFinish)
{
    CloudRun run;
    if (!allFit(FieldKind::Operand, {user, provider, action, extra}))
        return run;
    const PrivilegedSide::Reply reply =
        ask({ManageCloud, bytes(user), bytes(provider), bytes(action), bytes(extra), startThenFinish ? "1" : "0"});
    if (reply.status != 0 || reply.values.size() != 2)
        return run;
    run.succeeded = reply.values[0] == "1";
    run.standardOutput = QByteArray::fromStdString(reply.values[1]);
    return run;
}

void appendLog(bool isError, const QString &text)
{
    // The log takes an entry of bounded size; a longer one is cut, not lost.
    QByteArray entry = text.toUtf8();
    if (entry.size() > 65536)
        entry.truncate(65536);
    ask({AppendLog, isError ? "error" : "info", QString::fromUtf8(entry).toStdString()});
}

bool isAnswering()
{
    const PrivilegedSide::Reply reply = ask({Alive});
    return reply.answered && reply.status == 0;
}

QByteArray hostKeytab()
{
    const PrivilegedSide::Reply reply = ask({HostKeytab});
    return reply.status == 0 && reply.values.size() == 1 ? QByteArray::fromStdString(reply.values[0]) : QByteArray();
}

TlsCredentials tlsCredentials()
{
    const PrivilegedSide::Reply reply = ask({PrivilegedWire::TlsCredentials});
    TlsCredentials credentials;
    credentials.status = reply.status;
    if (reply.status == TlsRead && reply.values.size() == 2) {
        credentials.certificate = QByteArray::fromStdString(reply.values[0]);
        credentials.key = QByteArray::fromStdString(reply.values[1]);
    } else if (reply.status == TlsRead) {
        credentials.status = Refused;
    }
    return credentials;
}

} // namespace Privileged
