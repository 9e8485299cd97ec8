#pragma once

#include <QByteArray>
#include <QString>

class TestDatabase;

// A user of the test database who logs in with a database token of its own; the "ax_user" row
// is removed again on destruction.
class TokenUser
{
public:
    TokenUser(TestDatabase &db, const QString &name);
    ~TokenUser();
    TokenUser(const TokenUser &) = delete;
    TokenUser &operator=(const TokenUser &) = delete;

    QString name() const { return userName; }
    bool isCreated() const { return created; }
    QByteArray token() const { return userToken; }

private:
    TestDatabase &db;
    QString userName;
    QByteArray userToken;
    bool created = false;
};
