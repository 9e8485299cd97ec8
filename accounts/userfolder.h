#pragma once

#include <QString>
#include <QStringList>

// Where a user's profile folder lives and what it holds: the folder u inside the base folder
// b, its thirteen sub-folders, and the network paths the account is given.
class UserFolder
{
public:
    UserFolder(const QString &userName, const QString &baseFolder);

    // A name that stays one level inside the base folder: not empty, ".", ".." and without "/".
    static bool isSafeName(const QString &userName);

    QString path() const;
    // "\\" + computer + "\" + user, both with their white space simplified.
    QString homeSharePath(const QString &computerName) const;
    QString profilePath(const QString &computerName) const;

    // Creates the folder (not the base folder) and its sub-folders; existing ones are fine.
    void create() const;
    // What is secured, in order: every sub-folder, then the folder itself written with a
    // trailing separator.
    QStringList securedPaths() const;

private:
    QString userName;
    QString baseFolder;
};
