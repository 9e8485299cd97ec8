#include "accounts/userfolder.h"

#include <QDir>

namespace {

const char *const subFolderNames[] = {
    "AppData",  "Contacts", "Desktop",     "Documents", "Downloads",  "Favorites", "Links",
    "Music",    "Pictures", "Saved Games", "Searches",  "Start Menu", "Videos",
};

} // namespace

UserFolder::UserFolder(const QString &userName, const QString &baseFolder)
    : userName(userName), baseFolder(baseFolder)
{
}

bool UserFolder::isSafeName(const QString &userName)
{
    return !userName.isEmpty() && userName != QLatin1String(".") && userName != QLatin1String("..")
        && !userName.contains(QLatin1Char('/')) && !userName.contains(QChar(0));
}

QString UserFolder::path() const
{
    return baseFolder + QDir::separator() + userName;
}

QString UserFolder::homeSharePath(const QString &computerName) const
{
    return QStringLiteral("\\\\") + computerName.simplified() + QLatin1Char('\\') + userName.simplified();
}

QString UserFolder::profilePath(const QString &computerName) const
{
    return homeSharePath(computerName) + QStringLiteral("\\profile");
}

void UserFolder::create() const
{
    // The base folder is the operator's: it is never created here (and an empty one is none).
    if (baseFolder.isEmpty())
        return;
    QDir().mkdir(path());
    const QDir folder(path());
    for (const char *name : subFolderNames)
        folder.mkdir(QString::fromLatin1(name));
}

QStringList UserFolder::securedPaths() const
{
    QStringList paths;
    for (const char *name : subFolderNames)
        paths.append(path() + QDir::separator() + QString::fromLatin1(name));
    paths.append(path() + QDir::separator());
    return paths;
}
