#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class ClientSession;
class MySqlInfo;

using CommandParameters = QStringList;

// One logged-in request: finds the command in the table by name and parameter count and runs it
// with the session values it needs. Lives for one request.
class AXServerCommand : public QObject
{
    Q_OBJECT

public:
    AXServerCommand(ClientSession *session, MySqlInfo *db, const QString &userName,
                    const QString &password, const QString &clientAddress, bool isAdmin);

    // Returns the reply without the trailing line end.
    QString dispatch(const QString &request);
    // The payload of a "_byteArray_" request, without its length prefix.
    QByteArray dispatchByteArray(const QString &request);

    // The name before the first "?", and the "&"-separated text up to the next "?".
    static CommandParameters splitRequest(const QString &request, QString *name);
    // Decimal integer; text that is no number reads as 0.
    static qint64 toNumber(const QString &text);
    static int toId(const QString &text) { return static_cast<int>(toNumber(text)); }

    // Whether name is the logged-in user (with or without the login's domain part).
    bool isOwnUser(const QString &name) const;

    QString userName;
    QString password;
    QString clientAddress;
    MySqlInfo *db;
    bool isAdmin;
    ClientSession *session;
};

// "Error: " + message + "(" + local short date and time + ")", with no blank before "(".
QString formatCommandError(const QString &message);
