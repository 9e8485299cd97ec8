#pragma once

#include <QMutex>
#include <QString>

class MySqlInfo;

// This server's own address among the registered ones, worked out once per process. Storage
// requests compare it with the user's profiles server to decide whether they run here.
class OwnAddressMemo
{
public:
    static OwnAddressMemo &instance();

    // "127.0.0.1" unless an interface address of this machine is registered in "ax_server";
    // then that address (the last match, in interface order).
    QString address(MySqlInfo *db);

private:
    OwnAddressMemo() = default;
    static QString findOwnAddress(MySqlInfo *db);

    QMutex mutex;
    QString memo;
};
