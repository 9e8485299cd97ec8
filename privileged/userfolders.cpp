#include "privileged/userfolders.h"

#include "base/settings.h"
#include "platform/accountdatabase.h"
#include "platform/fieldcheck.h"
#include "platform/netstatus.h"
#include "privileged/filetree.h"
#include "privileged/shares.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <sys/stat.h>

#include <cerrno>
#include <optional>

namespace {

const char *const subFolderNames[] = {
    "AppData",  "Contacts", "Desktop",     "Documents", "Downloads",  "Favorites", "Links",
    "Music",    "Pictures", "Saved Games", "Searches",  "Start Menu", "Videos",
};

const int maxShareUses = 4;

// A root as written and as resolved: a base folder may be named either way.
QStringList namesOf(const QString &root)
{
    QStringList names{root};
    const QString canonical = QFileInfo(root).canonicalFilePath();
    if (!canonical.isEmpty() && canonical != root)
        names.append(canonical);
    return names;
}

Descriptor openBase(const QString &baseFolder)
{
    for (const QString &root : Settings::userFolderRoots()) {
        for (const QString &name : namesOf(root)) {
            QString relative;
            if (!Beneath::relativeTo(baseFolder, name, &relative))
                continue;
            Descriptor base = Beneath::walk(Beneath::openTrusted(root), QFile::encodeName(relative), false);
            if (base.isOpen())
                return base;
        }
    }
    return Descriptor();
}

bool isPlainUserName(const QString &user)
{
    return FieldCheck::isPathComponent(user.toStdString()) && FieldCheck::isPlainText(user.toStdString());
}

} // namespace

namespace UserFolders {

bool isWithinRoots(const QString &path)
{
    for (const QString &root : Settings::userFolderRoots()) {
        for (const QString &name : namesOf(root)) {
            QString relative;
            if (Beneath::relativeTo(path, name, &relative))
                return true;
        }
    }
    return false;
}

Creation create(const QString &user, const QString &baseFolder)
{
    Creation creation;
    const Descriptor base = isPlainUserName(user) ? openBase(baseFolder) : Descriptor();
    if (!base.isOpen())
        return creation;
    creation.allowed = true;
    creation.path = Beneath::pathOf(base) + QLatin1Char('/') + user;

    const QByteArray name = QFile::encodeName(user);
    if (::mkdirat(base.get(), name.constData(), 0755) != 0 && errno != EEXIST)
        qDebug("Cannot create the user folder %s", name.constData());
    // Whatever is at the name now: a link or a file planted there is never opened.
    const Descriptor folder = Beneath::openDirectory(base, name);
    if (folder.isOpen()) {
        for (const char *sub : subFolderNames)
            ::mkdirat(folder.get(), sub, 0755);
    }

    // Only the platform's own accounts get a folder of their own: never root's or a system
    // account's.
    const std::optional<AccountDatabase::User> account = AccountDatabase::findUser(user);
    if (!account)
        creation.lookupStatus = NetStatus::NoneMapped;
    else if (!AccountDatabase::isOrdinaryUserId(account->uid))
        creation.lookupStatus = NetStatus::AccessDenied;
    if (creation.lookupStatus == NetStatus::Success) {
        const auto grant = [&account](const Descriptor &directory) {
            return directory.isOpen() ? FileAcl::grantExclusiveAccess(directory.get(), account->uid)
                                      : FileAcl::Result::NotApplied;
        };
        for (const char *sub : subFolderNames)
            creation.acls.append(grant(Beneath::openDirectory(folder, QByteArray(sub))));
        creation.acls.append(grant(folder));
    }

    creation.shareStatus = folder.isOpen()
                               ? Shares::addShare(user, Beneath::pathOf(folder), user, maxShareUses)
                               : quint32(NetStatus::UnknownDevDir);
    return creation;
}

Removal remove(const QString &user, const QString &baseFolder)
{
    Removal removal;
    const Descriptor base = isPlainUserName(user) ? openBase(baseFolder) : Descriptor();
    if (!base.isOpen())
        return removal;
    removal.allowed = true;
    removal.shareStatus = Shares::removeShare(qEnvironmentVariable("COMPUTERNAME"), user);
    if (FileTree::removeTree(base.get(), user) == FileTree::Removal::Refused)
        qDebug("Refused to delete the user folder %s in %s", qUtf8Printable(user), qUtf8Printable(baseFolder));
    return removal;
}

} // namespace UserFolders
