#include "dispatch/commandtable.h"

#include "dispatch/remoteappservertable.h"

#include <QHash>
#include <QSet>

namespace {

using C = AXServerCommand;
using P = CommandParameters;
constexpr CommandGuard None = CommandGuard::None;

QString acceptWithoutEffect(C &, const P &)
{
    return QString();
}

// One row per command, in the order clients' commands are listed for the protocol.
// Counts are parameters only; a row's handler is a thin adapter to its family's operation.
const CommandRow commandRows[] = {
    {"get_remote_app_server_address", 0, 0, None,
     [](C &c, const P &) { return RemoteAppServerTable::instance().address(c.userName); }},
    {"get_remote_app_server_port", 0, 0, None,
     [](C &c, const P &) { return RemoteAppServerTable::instance().port(c.userName); }},
    // Port first, then address: clients already send it in this order.
    {"set_remote_app_server", 2, 2, None,
     [](C &c, const P &p) { RemoteAppServerTable::instance().set(c.userName, p[0], p[1]); return QString(); }},
    {"unset_remote_app_server", 0, 0, None,
     [](C &c, const P &) { RemoteAppServerTable::instance().remove(c.userName); return QString(); }},
    {"add_printer", 2, 2, None, acceptWithoutEffect},
    {"remove_printer", 1, 1, None, acceptWithoutEffect},
    {"share_printer", 2, 2, None, acceptWithoutEffect},
    {"get_user_uid", 0, 0, None, acceptWithoutEffect},
    {"start_server", 1, 1, None, acceptWithoutEffect},
    {"pause_server", 1, 1, None, acceptWithoutEffect},
    {"hard_stop_server", 1, 1, None, acceptWithoutEffect},
    {"resume_server", 1, 1, None, acceptWithoutEffect},
    {"hard_reboot_server", 1, 1, None, acceptWithoutEffect},
    {"soft_stop_server", 1, 1, None, acceptWithoutEffect},
    {"soft_reboot_server", 1, 1, None, acceptWithoutEffect},
    {"add_virtual_server", 5, 5, None, acceptWithoutEffect},
    // An empty list joined with ",".
    {"server_list", 0, 0, None, acceptWithoutEffect},
    {"get_server_status", 1, 1, None, acceptWithoutEffect},
    {"add_iso", 2, 2, None, acceptWithoutEffect},
};

const QHash<QString, const CommandRow *> &rowsByName()
{
    static const QHash<QString, const CommandRow *> rows = [] {
        QHash<QString, const CommandRow *> hash;
        for (const CommandRow &row : commandRows)
            hash.insert(QString::fromLatin1(row.name), &row);
        return hash;
    }();
    return rows;
}

} // namespace

namespace CommandTable {

const CommandRow *find(const QString &name)
{
    return rowsByName().value(name, nullptr);
}

bool hasUniqueNames(QString *duplicate)
{
    QSet<QString> seen;
    for (const CommandRow &row : commandRows) {
        const QString name = QString::fromLatin1(row.name);
        if (seen.contains(name)) {
            *duplicate = name;
            return false;
        }
        seen.insert(name);
    }
    return true;
}

} // namespace CommandTable
