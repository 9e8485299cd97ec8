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

    bool add(qint64 pid, const QString &userName);
    // Marks the record of pid as ended, as a login program does when its session closes.
    void end(qint64 pid);

private:
    QList<qint64> pids;
};
