#include "privileged/uploads.h"

#include "platform/accountdatabase.h"
#include "platform/privilegedwire.h"
#include "privileged/asuser.h"
#include "privileged/beneath.h"
#include "privileged/fileacl.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace Uploads {

using namespace PrivilegedWire;

Target open(const QString &user, const QString &targetDir, const QString &fileName)
{
    Target target;
    const std::optional<AccountDatabase::User> account = AccountDatabase::findUser(user);
    if (!account || !AccountDatabase::isOrdinaryUserId(account->uid)) {
        target.status = NoUploadAccount;
        return target;
    }

    // The operator's directory, root's: made here when missing.
    const QString baseDir = qEnvironmentVariable("windir") + QStringLiteral("/TEMP");
    QDir().mkpath(baseDir);
    const Descriptor base = Beneath::openTrusted(baseDir);
    const QByteArray uploadName = QFile::encodeName(QStringLiteral("ambrix-") + user);
    if (base.isOpen() && ::mkdirat(base.get(), uploadName.constData(), 0700) != 0 && errno != EEXIST) {
        target.status = NoUploadDirectory;
        return target;
    }
    // Root's directory holds it, so the name cannot be swapped: handed to the user by descriptor.
    const Descriptor upload = Beneath::openDirectory(base, uploadName);
    struct stat info;
    if (!upload.isOpen() || ::fstat(upload.get(), &info) != 0
        || ((info.st_uid != account->uid || info.st_gid != account->gid)
            && ::fchown(upload.get(), account->uid, account->gid) != 0)
        || ::fchmod(upload.get(), 0700) != 0) {
        target.status = NoUploadDirectory;
        return target;
    }

    const QByteArray directory = QFile::encodeName(targetDir);
    const QByteArray file = QFile::encodeName(fileName);
    const unsigned uid = account->uid;
    const AsUser::Result opened = AsUser::run(*account, [&](int *descriptor) -> int {
        const Descriptor into = Beneath::walk(upload, directory, true, 0700);
        if (!into.isOpen())
            return NoTargetDirectory;
        // The user alone (besides root) gets into the directory.
        FileAcl::grantExclusiveAccess(into.get(), uid);
        Descriptor written = Beneath::openRegularFileForWriting(into, file, 0644);
        if (!written.isOpen())
            return NoUploadFile;
        *descriptor = written.release();
        return UploadOpened;
    });
    target.status = opened.ran ? quint32(opened.status) : quint32(NoUploadDirectory);
    target.descriptor = opened.descriptor;
    if (target.status != UploadOpened && target.descriptor >= 0) {
        ::close(target.descriptor);
        target.descriptor = -1;
    }
    return target;
}

} // namespace Uploads
