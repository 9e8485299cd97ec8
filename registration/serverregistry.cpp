#include "registration/serverregistry.h"
#include "base/log.h"

#include "db/mysqlinfo.h"

#include <QMutex>
#include <QMutexLocker>
#include <QVariant>
#include <QtDebug>

namespace {

const QString serverTable = QStringLiteral("ax_server");

QString addressCondition(const QString &address)
{
    return QStringLiteral("address=") + MySqlInfo::quote(address);
}

// The port is a number, written in decimal and not quoted.
QString addressAndPortCondition(const QString &address, int port)
{
    return addressCondition(address) + QStringLiteral(" AND port=") + QString::number(port);
}

// The attribute becomes a column name, so it must be one of ours, compared exactly.
bool isAcceptedAttribute(const QString &attribute)
{
    if (attribute == QLatin1String(ServerRegistry::OsIdAttribute))
        return true;
    for (const ServerRegistry::ServerRole &role : ServerRegistry::Roles) {
        if (attribute == QLatin1String(role.serverType))
            return true;
    }
    return false;
}

bool createServerRecord(MySqlInfo *db, const QString &address, int port)
{
    const QStringList columns{
        QStringLiteral("name"), QStringLiteral("address"), QStringLiteral("os_id"),
        QStringLiteral("domain_server"), QStringLiteral("port"), QStringLiteral("application_server"),
        QStringLiteral("console_server"), QStringLiteral("desktop_server"),
        QStringLiteral("home_storage_server"), QStringLiteral("ambrix_server"),
        QStringLiteral("rdp_proxy_server"), QStringLiteral("storage_server"),
        QStringLiteral("web_client_server"), QStringLiteral("infrastructure_server"),
        QStringLiteral("pxe_server"), QStringLiteral("active")};
    const QList<QVariant> values{address, address, ServerRegistry::RegisteringOsId, 0, port, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 0, 1};
    return db->insertRow(serverTable, columns, values);
}

QMutex &serverInsertLock()
{
    static QMutex *lock = new QMutex; // outlives detached connection threads at exit
    return *lock;
}

} // namespace

int ServerRegistry::serverIdForAddress(MySqlInfo *db, const QString &address)
{
    const QString byAddress = addressCondition(address);
    QStringList ids = db->selectColumn(serverTable, QStringLiteral("id"), byAddress);
    if (ids.isEmpty()) {
        // Connections reporting their first events from one new address at once must create
        // one row: look up again and insert under the lock.
        QMutexLocker locker(&serverInsertLock());
        ids = db->selectColumn(serverTable, QStringLiteral("id"), byAddress);
        if (ids.isEmpty()) {
            if (!db->insertRow(serverTable, {QStringLiteral("address")}, {address}))
                return 0;
            ids = db->selectColumn(serverTable, QStringLiteral("id"), byAddress);
        }
    }
    return ids.value(0).toInt();
}

QString ServerRegistry::setServerToken(MySqlInfo *db, const QString &address, int port, const QString &token)
{
    const QString condition = addressAndPortCondition(address, port);
    bool recordMissing = false;
    if (db->selectColumn(serverTable, QStringLiteral("id"), condition).isEmpty()) {
        AX_DEBUG("Server not found. Creating new server record...");
        recordMissing = !createServerRecord(db, address, port);
        AX_DEBUG(recordMissing ? "Something failed creating server record" : "Record succesfully created");
    }
    // Without a row the update below matches nothing and stores nothing: that is no success.
    if (!db->updateColumn(serverTable, condition, QStringLiteral("token"), token) || recordMissing) {
        AX_DEBUG("Something failed writing token on database");
        return tr("Error setting token");
    }
    return tr("Ok");
}

QString ServerRegistry::setServerInformation(MySqlInfo *db, const QString &token, const QString &attribute,
                                            const QString &value, const QString &address)
{
    const QString condition = addressCondition(address);
    const QStringList storedTokens = db->selectColumn(serverTable, QStringLiteral("token"), condition);
    if (storedTokens.isEmpty())
        return tr("No server %1").arg(address);

    QString storedToken = storedTokens.first();
    if (storedToken.trimmed().isEmpty()) {
        // First registration: the server claims the empty slot with the token it presents.
        if (!db->updateColumn(serverTable, condition, QStringLiteral("token"), token)) {
            AX_DEBUG("Cannot write server token on database");
        } else {
            storedToken = token;
            db->updateColumn(serverTable, condition, QStringLiteral("active"), QStringLiteral("1"));
        }
    }
    if (storedToken != token)
        return tr("Invalid token for server %1").arg(address);
    if (!isAcceptedAttribute(attribute))
        return tr("Invalid server type %1").arg(attribute);
    if (!db->updateColumn(serverTable, condition, attribute, value))
        return tr("Error setting server type %1 on server: %2").arg(attribute, address);
    return tr("Ok");
}
