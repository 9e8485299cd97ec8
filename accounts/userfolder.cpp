#include "accounts/userfolder.h"

#include "app/settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

const char *const subFolderNames[] = {
    "AppData",  "Contacts", "Desktop",     "Documents", "Downloads",  "Favorites", "Links",
    "Music",    "Pictures", "Saved Games", "Searches",  "Start Menu", "Videos",
};

bool isWithin(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'));
}

} // namespace

UserFolder::UserFolder(const QString &userName, const QString &baseFolder)
    : userName(userName)
{
    // Resolved once: every later step works on this path, so a link swapped afterwards in the
    // operator's path cannot move the work elsewhere.
    const QString resolved = baseFolder.isEmpty() ? QString() : QFileInfo(baseFolder).canonicalFilePath();
    if (!isSafeName(userName) || resolved.isEmpty() || !QFileInfo(resolved).isDir())
        return;
    const QStringList allowedRoots = roots();
    for (const QString &root : allowedRoots) {
        if (isWithin(resolved, root)) {
            resolvedBase = resolved;
            allowed = true;
            return;
        }
    }
}

bool UserFolder::isSafeName(const QString &userName)
{
    return !userName.isEmpty() && userName != QLatin1String(".") && userName != QLatin1String("..")
        && !userName.contains(QLatin1Char('/')) && !userName.contains(QChar(0));
}

QStringList UserFolder::roots()
{
    const QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    // Unquoted in the file, "a,b" reads as a list; quoted, as one text: both are accepted.
    const QStringList values =
        settings.value(Settings::UserFolderRoots, QString::fromLatin1(Settings::DefaultUserFolderRoots)).toStringList();
    QStringList resolved;
    for (const QString &value : values) {
        for (const QString &root : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString trimmed = root.trimmed();
            if (!QDir::isAbsolutePath(trimmed))
                continue;
            const QString canonical = QFileInfo(trimmed).canonicalFilePath();
            if (!canonical.isEmpty())
                resolved.append(canonical);
        }
    }
    return resolved;
}

QString UserFolder::path() const
{
    return resolvedBase + QLatin1Char('/') + userName;
}

bool UserFolder::isRealDirectory() const
{
    const QFileInfo info(path());
    return allowed && info.isDir() && !info.isSymLink();
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
    // The base folder is the operator's: it is never created here.
    if (!allowed)
        return;
    QDir().mkdir(path());
    if (!isRealDirectory())
        return;
    const QDir folder(path());
    for (const char *name : subFolderNames)
        folder.mkdir(QString::fromLatin1(name));
}

QStringList UserFolder::securedPaths() const
{
    QStringList paths;
    for (const char *name : subFolderNames)
        paths.append(path() + QLatin1Char('/') + QString::fromLatin1(name));
    paths.append(path() + QLatin1Char('/'));
    return paths;
}
