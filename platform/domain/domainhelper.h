#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMutex>
#include <QString>
#include <QStringList>

// How the server authenticates to the domain controller: an account allowed to manage users
// and groups with its password, or the host's keytab (the machine account, or user when one is
// given). realm is the Kerberos realm; empty: the default realm of the Kerberos configuration.
struct DomainCredentials {
    QString user;
    QString password;
    bool useKeytab = false;
    QString realm;
};

// The helper process ambrix-domain, which makes every domain call of the server (see
// domain/main.cpp for why it is a process of its own). Requests go one at a time over a socket
// pair; the helper is started on the first request, started afresh when the credentials change,
// and killed when it does not answer in time. A helper that dies costs the request it was
// serving, never the server.
class DomainHelper
{
public:
    struct Reply {
        quint32 status = 0;
        QStringList values;
    };

    // Never destroyed: at exit the helper sees its socket close and ends by itself.
    static DomainHelper &instance();

    // The reply, or NetStatus::InternalError when the helper could not be started, died, or
    // did not answer within the time limit (counted from the call, waiting for a turn included).
    Reply call(const DomainCredentials &credentials, const QStringList &request);

    static const int timeLimitMs = 30000;

private:
    DomainHelper() = default;
    bool start(const DomainCredentials &credentials, const QByteArray &digest, const QDeadlineTimer &deadline);
    bool isUsable();
    bool exchange(const QStringList &request, Reply *reply, const QDeadlineTimer &deadline);
    void stop();

    QMutex lock; // held for a whole exchange: its job is to serialise the helper's stream
    int channel = -1;
    qint64 pid = 0;
    QByteArray credentialsDigest; // of the credentials the running helper was given
};
