#include "dispatch/commandtable.h"

#include "accounts/axusercommand.h"
#include "catalogue/axapplicationcommand.h"
#include "catalogue/sessionlauncher.h"
#include "dispatch/authentication.h"
#include "dispatch/eventlog.h"
#include "dispatch/remoteappservertable.h"
#include "dispatch/sessionstate.h"
#include "host/axprintercommand.h"
#include "host/axsystemcommand.h"
#include "registration/serverregistry.h"
#include "storage/axstoragecommand.h"

#include <QHash>
#include <QSet>

namespace {

using C = AXServerCommand;
using P = Request;
using A = AXApplicationCommand;
constexpr Access In = Access::LoggedIn;
constexpr Access Free = Access::NoLogin;
// The strict-privilege column.
constexpr StrictAccess Any = StrictAccess::Any;
constexpr StrictAccess Admin = StrictAccess::Administrator;
constexpr int AnyCount = 1 << 20;
// Replies that hand out a token.
constexpr Secrets SecretReply{Secrets::None, 0, -1, true};

using S = AXStorageCommand;

QString acceptWithoutEffect(C &, const P &)
{
    return QString();
}

// Finish and cancel end the connection's cloud-drive configuration, whatever they answer.
std::unique_ptr<S> takePendingCloudDrive(C &c)
{
    return std::move(c.session->pendingCloudDrive);
}

QString noCloudDriveConfiguring()
{
    return C::tr("Error: there is no cloud drive configuring at this moment");
}

// Serves both name commands: clients ask for the display name and the name alike.
QString getApplicationName(C &c, const P &p)
{
    return A::getApplicationName(P::toId(p[0]), c.db);
}

// One row per command. First those answered before a login, then the others in the order
// clients' commands are listed for the protocol. Counts are parameters only; a row's handler is a
// thin adapter to its family's operation.
const CommandRow commandRows[] = {
    {"login", 0, AnyCount, Free, Any, {Secrets::LoginPassword},
     [](C &c, const P &p) { return Authentication::login(*c.session, p, true); }},
    // Peers validate against this server, never through it: not passed on to the principal.
    {"validate", 0, AnyCount, Free, Any, {Secrets::LoginPassword},
     [](C &c, const P &p) { return Authentication::login(*c.session, p, false); }},
    // Only with an id; without one it is an ordinary request.
    {"get_user_from_card", 1, AnyCount, Free, Any, {},
     [](C &c, const P &p) { return AXUserCommand::userNameById(c.db, p.field(1)); }},
    // The value is everything after the server type, separators included.
    {"set_server_information", 0, AnyCount, Free, Any, {Secrets::Fields, 1, 1},
     [](C &c, const P &p) {
         return ServerRegistry::setServerInformation(c.db, p.field(1), p.field(2), p.fieldsFrom(3), c.clientAddress);
     },
     "ax_server"},
    {"get_remote_app_server_address", 0, 0, In, Any, {},
     [](C &c, const P &) { return RemoteAppServerTable::instance().address(c.userName); }},
    {"get_remote_app_server_port", 0, 0, In, Any, {},
     [](C &c, const P &) { return RemoteAppServerTable::instance().port(c.userName); }},
    // Port first, then address: clients already send it in this order.
    {"set_remote_app_server", 2, 2, In, Any, {},
     [](C &c, const P &p) { RemoteAppServerTable::instance().set(c.userName, p[0], p[1]); return QString(); }},
    {"unset_remote_app_server", 0, 0, In, Any, {},
     [](C &c, const P &) { RemoteAppServerTable::instance().remove(c.userName); return QString(); }},
    {"open_file", 2, 2, In, Any, {},
     [](C &c, const P &p) { return SessionLauncher::openFile(c.userName, p[0], p[1]); }},
    {"open_dir", 1, 1, In, Any, {},
     [](C &c, const P &p) { return SessionLauncher::openFile(c.userName, p[0], QString()); }},
    {"add_google_printer", 3, 3, In, Any, {},
     [](C &c, const P &p) { return AXPrinterCommand::addGooglePrinter(p[0], p[1], c.userName, p[2]); }},
    {"remove_google_printer", 3, 3, In, Any, {},
     [](C &c, const P &p) { return AXPrinterCommand::removeGooglePrinter(p[0], p[1], c.userName, p[2]); }},
    {"prune_google_printers", 1, 1, In, Any, {},
     [](C &c, const P &p) { return AXPrinterCommand::pruneGooglePrinters(p[0], c.userName); }},
    {"add_printer", 2, 2, In, Any, {}, acceptWithoutEffect},
    {"remove_printer", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"share_printer", 2, 2, In, Any, {}, acceptWithoutEffect},
    {"mount_chroot", 5, 5, In, Any, {},
     [](C &c, const P &p) { return AXSystemCommand::mountChroot(p[0], p[1], p[2], c.password, p[3], p[4]); }},
    {"umount_chroot", 1, 1, In, Any, {}, [](C &, const P &p) { return AXSystemCommand::umountChroot(p[0]); }},
    {"get_valid_applications", 0, 0, In, Any, {},
     [](C &c, const P &) { return A::getValidApplications(c.userName, c.db); }},
    {"get_extensions_list", 0, 0, In, Any, {}, [](C &c, const P &) { return A::getExtensionsList(c.db); }},
    // Absent, empty or not a number: id 0, all groups.
    {"get_application_groups", 0, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationGroups(c.db, P::toId(p.value(0))); }},
    {"get_application_group_ids", 0, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationGroupIds(c.db, P::toId(p.value(0))); }},
    {"get_application_extensions", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationExtensions(P::toId(p[0]), c.db); }},
    {"get_application_name", 1, 1, In, Any, {}, getApplicationName},
    {"get_applications_by_group", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationsByGroup(P::toId(p[0]), c.db); }},
    {"get_application_onlyone", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationOnlyone(P::toId(p[0]), c.db); }},
    {"get_application_display_name", 1, 1, In, Any, {}, getApplicationName},
    {"get_application_description", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationDescription(P::toId(p[0]), c.db); }},
    {"get_application_exec_path", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationExecPath(P::toId(p[0]), c.db); }},
    {"get_application_arguments", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationArguments(P::toId(p[0]), c.db); }},
    {"get_application_working_path", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getApplicationWorkingPath(P::toId(p[0]), c.db); }},
    {"get_server_hosts", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getServerHosts(P::toId(p[0]), c.db); }},
    {"get_server_ids", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getServerIds(P::toId(p[0]), c.db); }},
    {"start_session", 0, 0, In, Any, {}, [](C &c, const P &) { return EventLog::startSession(c); }, "ax_log"},
    {"end_session", 0, 0, In, Any, {}, [](C &c, const P &) { return EventLog::endSession(c); }, "ax_log"},
    {"start_application", 2, 2, In, Any, {},
     [](C &c, const P &p) {
         return EventLog::startApplication(c, P::toNumber(p[0]), static_cast<quint32>(P::toNumber(p[1])));
     },
     "ax_log"},
    {"end_application", 2, 2, In, Any, {},
     [](C &c, const P &p) {
         return EventLog::endApplication(c, P::toNumber(p[0]), static_cast<quint32>(P::toNumber(p[1])));
     },
     "ax_log"},
    {"get_preferred_server", 2, 2, In, Any, {},
     [](C &c, const P &p) { return A::getPreferredServer(P::toId(p[0]), p[1].toDouble(), c.db); }},
    {"get_server_address", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::serverAddress(P::toId(p[0]), c.db); }},
    {"get_server_type", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::getServerType(P::toId(p[0]), c.db); }},
    {"get_applications", 1, 1, In, Any, {}, [](C &c, const P &p) { return A::getApplications(p[0], c.db); }},
    {"get_user_list", 1, 1, In, Any, {}, [](C &, const P &p) { return AXUserCommand::listGroupMembers(p[0]); }},
    {"get_group_list", 0, 0, In, Any, {}, [](C &, const P &) { return AXUserCommand::listGroups(); }},
    {"kill_session", 1, 1, In, Admin, {}, [](C &, const P &p) { return AXSystemCommand::killSession(p[0]); }},
    // Account creation, then membership of one or two groups.
    {"create_user", 3, 4, In, Admin, {Secrets::Parameters, 1, 1, true},
     [](C &, const P &p) { return AXUserCommand::createUserInGroups(p[0], p[1], p.mid(2)); }},
    {"create_user_folder", 2, 2, In, Admin, {},
     [](C &, const P &p) { return AXUserCommand::createUserFolder(p[0], p[1]); }},
    {"remove_user_folder", 2, 2, In, Admin, {},
     [](C &, const P &p) { return AXUserCommand::removeUserFolder(p[0], p[1]); }},
    {"create_group", 1, 1, In, Admin, {}, [](C &, const P &p) { return AXUserCommand::createGroup(p[0]); }},
    {"modify_user_password", 3, 3, Access::OldPasswordOrAdministrator, Admin, {Secrets::Parameters, 1, -1},
     [](C &c, const P &p) {
         return AXUserCommand::changeUserPassword(p[0], p[1], p[2], c.clientAddress, normalizeUserName(p[0]));
     }},
    {"remove_user", 1, 1, In, Admin, {}, [](C &, const P &p) { return AXUserCommand::removeUser(p[0]); }},
    {"remove_group", 1, 1, In, Admin, {}, [](C &, const P &p) { return AXUserCommand::removeGroup(p[0]); }},
    {"get_user_uid", 0, 0, In, Any, {}, acceptWithoutEffect},
    {"get_user_token", 1, 1, In, StrictAccess::OwnUserOrAdministrator, SecretReply,
     [](C &c, const P &p) { return AXUserCommand::userToken(c.db, p[0]); }},
    {"activate_user", 1, 1, In, Admin, SecretReply,
     [](C &c, const P &p) { return AXUserCommand::activateUser(c.db, p[0]); }, "ax_user"},
    {"enable_user", 2, 2, In, Admin, SecretReply, [](C &, const P &p) { return AXUserCommand::enableUser(p[0], p[1]); }},
    {"disable_user", 2, 2, In, Admin, {},
     [](C &, const P &p) { return AXUserCommand::disableUser(p[0], p[1]); }},
    {"application_updated", 1, 1, In, Any, {},
     [](C &, const P &p) { return A::applicationUpdated(P::toId(p[0])); }},
    {"get_system_memory", 0, 0, In, Any, {}, [](C &, const P &) { return AXSystemCommand::systemMemory(); }},
    {"get_system_disk_space", 0, 0, In, Any, {}, [](C &, const P &) { return AXSystemCommand::systemDiskSpace(); }},
    {"get_system_load", 0, 0, In, Any, {}, [](C &, const P &) { return AXSystemCommand::systemLoad(); }},
    {"set_pxe_config_file", 3, 3, In, Any, {},
     [](C &, const P &p) { return AXSystemCommand::setPxeConfigFile(p[0], p[1], p[2].toUtf8()); }},
    {"remove_pxe_config_file", 2, 2, In, Any, {},
     [](C &, const P &p) { return AXSystemCommand::removePxeConfigFile(p[0], p[1]); }},
    {"get_redirect_drives", 1, 1, In, Any, {},
     [](C &c, const P &p) { return S::getRedirectDrives(c.clientAddress, p[0], c.db); }},
    {"get_profiles_server", 0, 0, In, Any, {},
     [](C &c, const P &) { return S::profilesServerLocation(c.userName, c.db); }},
    {"get_profiles_path", 0, 0, In, Any, {}, [](C &c, const P &) { return S::getProfilesPath(c.db); }},
    // Storage commands go to the user's profiles server under the name they came with.
    {"get_cloud_drives", 1, 1, In, Any, {},
     [](C &c, const P &p) {
         const QStringList drives = S::getCloudDrives(p.name(), c.userName, p[0], c.db);
         // A single blank tells clients there is none.
         return drives.isEmpty() ? QStringLiteral(" ") : drives.join(QLatin1Char(','));
     }},
    {"mount_cloud_drive", 2, 2, In, Any, {},
     [](C &c, const P &p) { return S::mountCloudDrive(p.name(), c.userName, p[0], p[1], c.db); }},
    {"mount_cloud_drives", 0, 0, In, Any, {},
     [](C &c, const P &p) { return S::mountCloudDrives(p.name(), c.userName, c.db); }},
    {"umount_cloud_drives", 0, 0, In, Any, {},
     [](C &c, const P &p) { return S::umountCloudDrives(p.name(), c.userName, c.db); }},
    {"remove_cloud_drive", 2, 2, In, Any, {},
     [](C &c, const P &p) { return S::removeCloudDrive(p.name(), p[0], c.userName, p[1], c.db); }},
    {"set_cloud_drive", 2, 2, In, Any, {},
     [](C &c, const P &p) {
         if (c.session->pendingCloudDrive)
             return C::tr("Error: there is one cloud drive configuring at this moment");
         c.session->pendingCloudDrive = std::make_unique<S>();
         return c.session->pendingCloudDrive->setCloudDrive(p[0], c.userName, p[1], c.db);
     }},
    // The provider's authorisation code for the user's cloud account.
    {"finish_set_cloud_drive", 1, 1, In, Any, {Secrets::Parameters, 0, 0},
     [](C &c, const P &p) {
         const std::unique_ptr<S> pending = takePendingCloudDrive(c);
         return pending ? pending->finishSetCloudDrive(p.name(), p[0], c.userName, c.db) : noCloudDriveConfiguring();
     }},
    {"cancel_set_cloud_drive", 0, 0, In, Any, {},
     [](C &c, const P &p) {
         const std::unique_ptr<S> pending = takePendingCloudDrive(c);
         return pending ? pending->cancelSetCloudDrive(p.name(), c.userName, c.db) : noCloudDriveConfiguring();
     }},
    {"set_server_token", 2, 2, Access::Administrator, Admin, {Secrets::Parameters, 1, -1},
     [](C &c, const P &p) {
         return ServerRegistry::setServerToken(c.db, c.clientAddress, p[0].toInt(), p[1]);
     },
     "ax_server"},
    {"start_server", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"pause_server", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"hard_stop_server", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"resume_server", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"hard_reboot_server", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"soft_stop_server", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"soft_reboot_server", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"add_virtual_server", 5, 5, In, Any, {}, acceptWithoutEffect},
    // An empty list joined with ",".
    {"server_list", 0, 0, In, Any, {}, acceptWithoutEffect},
    {"get_server_status", 1, 1, In, Any, {}, acceptWithoutEffect},
    {"add_iso", 2, 2, In, Any, {}, acceptWithoutEffect},
    // Any parameters. Its leading bytes alone end a connection before it is parsed.
    {CommandTable::QuitName, 0, AnyCount, In, Any, {}, [](C &, const P &) { return QStringLiteral("true"); }},
};

using B = QByteArray;

// Icons and logos, answered with their bytes.
const ByteArrayRow byteArrayRows[] = {
    {"_byteArray_get_application_icon", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::applicationIcon(P::toId(p[0]), c.db); }},
    {"_byteArray_get_application_group_icon", 1, 1, In, Any, {},
     [](C &c, const P &p) { return A::applicationGroupIcon(P::toId(p[0]), c.db); }},
    {"_byteArray_get_user_logo", 1, 1, In, Any, {}, [](C &c, const P &p) { return A::userLogo(p[0], c.db); }},
};

template <typename Row, size_t N>
QList<const Row *> listed(const Row (&rows)[N])
{
    QList<const Row *> list;
    for (const Row &row : rows)
        list.append(&row);
    return list;
}

template <typename Row, size_t N>
QHash<QString, const Row *> indexByName(const Row (&rows)[N])
{
    QHash<QString, const Row *> hash;
    for (const Row &row : rows)
        hash.insert(QString::fromLatin1(row.name), &row);
    return hash;
}

} // namespace

namespace CommandTable {

const CommandRow *find(const QString &name)
{
    static const QHash<QString, const CommandRow *> rows = indexByName(commandRows);
    return rows.value(name, nullptr);
}

const CommandRow *rowFor(const Request &request)
{
    const CommandRow *byField = find(request.field(0));
    if (byField && byField->access == Access::NoLogin) {
        bool complete = true;
        for (int i = 1; complete && i <= byField->minParameters; ++i)
            complete = !request.field(i).isEmpty();
        if (complete)
            return byField;
    }
    // Requests answered before a login are not commands otherwise.
    const CommandRow *byName = find(request.name());
    return byName && byName->access != Access::NoLogin ? byName : nullptr;
}

const ByteArrayRow *findByteArray(const QString &name)
{
    static const QHash<QString, const ByteArrayRow *> rows = indexByName(byteArrayRows);
    return rows.value(name, nullptr);
}

QList<const CommandRow *> allRows()
{
    return listed(commandRows);
}

QList<const ByteArrayRow *> allByteArrayRows()
{
    return listed(byteArrayRows);
}

bool hasUniqueNames(QString *duplicate)
{
    QSet<QString> seen;
    QStringList names;
    for (const CommandRow &row : commandRows)
        names.append(QString::fromLatin1(row.name));
    for (const ByteArrayRow &row : byteArrayRows)
        names.append(QString::fromLatin1(row.name));
    for (const QString &name : qAsConst(names)) {
        if (seen.contains(name)) {
            *duplicate = name;
            return false;
        }
        seen.insert(name);
    }
    return true;
}

} // namespace CommandTable
