#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class MySqlInfo;
class Request;
struct SessionState;
template <typename Result>
struct CommandRowOf;

// One request of a connection: runs the command's row, its guards and parameter counts first,
// with the session values it needs. Lives for one request.
class AXServerCommand : public QObject
{
    Q_OBJECT

public:
    explicit AXServerCommand(SessionState *session);

    // row is the request's row in the table (null: none). Returns the reply without the
    // trailing line end.
    QString dispatch(const Request &request, const CommandRowOf<QString> *row);
    // The payload of a "_byteArray_" request, without its length prefix.
    QByteArray dispatchByteArray(const Request &request, const CommandRowOf<QByteArray> *row);

    // Whether name, read by the login-name rule, is the logged-in user (any domain part).
    bool isOwnUser(const QString &name) const;

    QString userName;
    QString password;
    QString clientAddress;
    MySqlInfo *db;
    bool isAdmin;
    SessionState *session;

private:
    template <typename Result, typename Texts>
    Result run(const Request &request, const CommandRowOf<Result> *row);
};

// "Error: " + message + "(" + local short date and time + ")", with no blank before "(".
QString formatCommandError(const QString &message);
