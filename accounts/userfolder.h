#pragma once

#include <QString>
#include <QStringList>

// Where a user's profile folder lives and what it holds: the folder u inside the base folder
// b, its thirteen sub-folders, and the network paths the account is given. The base folder is
// taken resolved (links followed), and it must lie within the operator's folder roots.
class UserFolder
{
public:
    UserFolder(const QString &userName, const QString &baseFolder);

    // A name that stays one level inside the base folder: not empty, ".", ".." and without "/".
    static bool isSafeName(const QString &userName);
    // The operator's folder roots, resolved; a root that does not exist is left out.
    static QStringList roots();

    // A safe name and an existing base folder within one of the roots.
    bool isAllowed() const { return allowed; }
    QString baseFolder() const { return resolvedBase; }
    QString path() const;
    // The folder itself, not a link or anything else in its place.
    bool isRealDirectory() const;
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
    QString resolvedBase;
    bool allowed = false;
};
