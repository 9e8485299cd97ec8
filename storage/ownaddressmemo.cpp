#include "storage/ownaddressmemo.h"

#include "db/mysqlinfo.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QNetworkInterface>

OwnAddressMemo &OwnAddressMemo::instance()
{
    static OwnAddressMemo memo;
    return memo;
}

QString OwnAddressMemo::address(MySqlInfo *db)
{
    {
        QMutexLocker locker(&mutex);
        if (!memo.isEmpty())
            return memo;
    }
    // Worked out outside the lock (it queries the database). Threads racing on first use find
    // the same answer; the first one to finish keeps it.
    const QString found = findOwnAddress(db);
    QMutexLocker locker(&mutex);
    if (memo.isEmpty())
        memo = found;
    return memo;
}

QString OwnAddressMemo::findOwnAddress(MySqlInfo *db)
{
    QString own = QStringLiteral("127.0.0.1");
    const QStringList registered = db->selectColumn(QStringLiteral("ax_server"), QStringLiteral("address"),
                                                    QStringLiteral("true"));
    const QList<QHostAddress> interfaceAddresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &interfaceAddress : interfaceAddresses) {
        const QString text = interfaceAddress.toString();
        const QHostAddress candidate(text.simplified());
        for (const QString &entry : registered) {
            const QHostAddress registeredAddress(entry.simplified());
            // Strict comparison: a tolerant one would take "::1" for a registered "127.0.0.1",
            // and the profiles server would then no longer look local.
            if (!registeredAddress.isNull() && registeredAddress == candidate)
                own = text;
        }
    }
    return own;
}
