#pragma once

#include "dispatch/request.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class MySqlInfo;
struct SessionState;

// One request of a connection: finds the command in the table by name and parameter count and
// runs it with the session values it needs. Lives for one request.
class AXServerCommand : public QObject
{
    Q_OBJECT

public:
    explicit AXServerCommand(SessionState *session);

    // Returns the reply without the trailing line end.
    QString dispatch(const Request &request);
    // The payload of a "_byteArray_" request, without its length prefix.
    QByteArray dispatchByteArray(const Request &request);

    // Decimal integer; text that is no number reads as 0.
    static qint64 toNumber(const QString &text) { return Request::toNumber(text); }
    static int toId(const QString &text) { return static_cast<int>(toNumber(text)); }

    // Whether name, read by the login-name rule, is the logged-in user (any domain part).
    bool isOwnUser(const QString &name) const;

    QString userName;
    QString password;
    QString clientAddress;
    MySqlInfo *db;
    bool isAdmin;
    SessionState *session;
};

// "Error: " + message + "(" + local short date and time + ")", with no blank before "(".
QString formatCommandError(const QString &message);
