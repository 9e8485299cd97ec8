#pragma once

#include <QList>
#include <QString>

// Real login records of this machine for processes of a test: added as user sessions and marked
// ended when this object goes.
class LoginRecords
{
public:
    LoginRecords();
    ~LoginRecords();
    LoginRecords(const LoginRecords &) = delete;
    LoginRecords &operator=(const LoginRecords &) = delete;

    // Where logind runs the server takes its sessions from logind, whose sessions no test fakes:
    // the records' tests are then left to the system test's container.
    static bool areTheSessionSource();

    bool add(qint64 pid, const QString &userName);
    // Marks the record of pid as ended, as a login program does when its session closes.
    void end(qint64 pid);

private:
    QList<qint64> pids;
};
