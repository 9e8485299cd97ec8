#pragma once

#include "platform/wire.h"

// What the serving process may ask of the privileged side (ambrix-privileged), over the socket
// pairs between them, framed as platform/wire.h says. A request is the operation's name and
// exactly the fields listed beside it; the privileged side checks every field again, whatever
// the serving process checked. A reply's first field is a decimal status (0: done), followed by
// the values listed beside the operation; a descriptor may come with it.
namespace PrivilegedWire {

// Another socket pair end for requests (the descriptor comes with the frame).
inline constexpr char OpenChannel[] = "open_channel";

// Level ("error" or "info"), text: one entry of the log file.
inline constexpr char AppendLog[] = "append_log";
// No fields; status 0: the privileged side is there and answers.
inline constexpr char Alive[] = "alive";

// Host accounts; each answers a NetStatus number.
inline constexpr char AddUser[] = "add_user";               // name, full name, home, password
inline constexpr char DeleteUser[] = "delete_user";         // name
inline constexpr char SetUserInfo[] = "set_user_info";      // name, full name, home, password
inline constexpr char SetPassword[] = "set_password";       // name, password
inline constexpr char ChangePassword[] = "change_password"; // name, old password, new password
inline constexpr char AddGroup[] = "add_group";             // group
inline constexpr char DeleteGroup[] = "delete_group";       // group
inline constexpr char AddGroupMember[] = "add_group_member";       // group, user
inline constexpr char RemoveGroupMember[] = "remove_group_member"; // group, user
// User, password, "1" when an expired password counts: status 0 when it is right.
inline constexpr char CheckPassword[] = "check_password";

// User, base folder. Values: the folder's path, the account lookup's NetStatus, the AclResult of
// each secured folder in order, and the share's NetStatus. Refused: not within the folder roots.
inline constexpr char CreateUserFolder[] = "create_user_folder";
// User, base folder. Status: the NetStatus of the share's removal; Refused as above.
inline constexpr char RemoveUserFolder[] = "remove_user_folder";

// User, target directory, file name: the file, opened for writing as the user, comes with the
// reply; the status is an UploadStatus.
inline constexpr char OpenUploadFile[] = "open_upload_file";

// User, path, extra argument. Value: the session id psexec was started for (-1: none).
inline constexpr char OpenInSession[] = "open_in_session";
// User: the first of the user's sessions ends (not one of root or of a system account).
inline constexpr char EndSession[] = "end_session";

// Client (MAC address), file name, content; status a PxeStatus.
inline constexpr char WritePxeFile[] = "write_pxe_file";
// Client, file name; status a PxeStatus.
inline constexpr char RemovePxeFile[] = "remove_pxe_file";

// The platform's own programs at their fixed paths. Values: the exit code as replies report it
// (Programs::exitCodeOf), and for the cloud-drive program its standard output.
inline constexpr char MountChroot[] = "mount_chroot";     // five arguments around user, password
inline constexpr char UmountChroot[] = "umount_chroot";   // argument; value "1" when it started
inline constexpr char ConnectPrinter[] = "connect_printer";       // p0, p1, p2, user
inline constexpr char DisconnectPrinter[] = "disconnect_printer"; // p0, p1, p2, user
inline constexpr char PrunePrinters[] = "prune_printers";         // p0, user
// User, provider, action, extra ("" for none), "1" to wait for the start before the end.
inline constexpr char ManageCloud[] = "manage_cloud";

// Value: the host's keytab, for the domain helper's Kerberos logon as the machine account.
inline constexpr char HostKeytab[] = "host_keytab";

// Values: the PEM texts of the files TlsCertificate and TlsKey name, read by the privileged side
// from its own reading of the settings; the status a TlsStatus.
inline constexpr char TlsCredentials[] = "tls_credentials";

// The request broke its shape or one of the privileged side's checks: nothing was done.
inline constexpr std::uint32_t Refused = 0xFFFF0001u;

enum UploadStatus : std::uint32_t {
    UploadOpened = 0,
    NoUploadDirectory = 1, // "Cannot create temporary dir"
    NoTargetDirectory = 2, // "Cannot create target dir inside temporary dir"
    NoUploadAccount = 3,   // "Cannot get user sid"
    NoUploadFile = 4,      // "Cannot create temporary file"
};

// The access list of one secured folder.
enum AclResult : std::uint32_t {
    AclApplied = 0,
    AclNotBuilt = 1,   // no list could be made for the account
    AclNotApplied = 2, // the folder is missing or refused the list
};

enum PxeStatus : std::uint32_t {
    PxeDone = 0,
    PxeNoDirectory = 1, // the client's directory cannot be made
    PxeNoFile = 2,      // the file cannot be written or removed
};

enum TlsStatus : std::uint32_t {
    TlsRead = 0,
    TlsNotConfigured = 1,        // TlsCertificate or TlsKey is not an absolute path
    TlsCertificateUnreadable = 2, // not a regular file (links are not followed), too large, or unreadable
    TlsKeyUnreadable = 3,
};

} // namespace PrivilegedWire
