#pragma once

#include <QString>

// The network paths a user's profile folder gives the account: "\\COMPUTER\USER" and its
// "profile" inside. The folder itself (the user's name inside a base folder within the
// operator's folder roots) is made, secured and deleted by the privileged side.
class UserFolder
{
public:
    explicit UserFolder(const QString &userName) : userName(userName) {}

    // "\\" + computer + "\" + user, both with their white space simplified.
    QString homeSharePath(const QString &computerName) const;
    QString profilePath(const QString &computerName) const;

private:
    QString userName;
};
