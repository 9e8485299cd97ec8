#include "privileged/shares.h"

#include "platform/netstatus.h"
#include "platform/programs.h"
#include "platform/servername.h"

#include <QFileInfo>

// Shares live in the host's file-sharing registry ("net conf"); the file server serves them
// when its configuration says "registry shares = yes". Only the registry is written here, so
// no file server needs to run. The registry has a per-share connection limit and refuses to
// overwrite a share, unlike user shares.

namespace {

const int netTimeoutMs = 30000;

Programs::Result runNet(const QStringList &args)
{
    return Programs::run(QString::fromLatin1(Programs::NetProgram), args, netTimeoutMs);
}

// The tool would read a leading "-" as an option of its own.
bool isUsableArgument(const QString &text)
{
    return !text.startsWith(QLatin1Char('-')) && !text.contains(QChar(0));
}

} // namespace

namespace Shares {

quint32 addShare(const QString &name, const QString &path, const QString &remark, int maxUses)
{
    if (name.isEmpty() || !isUsableArgument(name) || !isUsableArgument(remark))
        return NetStatus::InvalidParameter;
    // The registry takes any path; a share of nothing must fail here.
    const QFileInfo folder(path);
    if (!folder.isAbsolute() || !folder.isDir())
        return NetStatus::UnknownDevDir;
    const Programs::Result added = runNet({QStringLiteral("conf"), QStringLiteral("addshare"), name, path,
                                        QStringLiteral("writeable=y"), QStringLiteral("guest_ok=n"),
                                        remark});
    if (!added.exited())
        return NetStatus::InternalError;
    if (added.exitCode != 0)
        return NetStatus::DuplicateShare;
    const Programs::Result limited = runNet({QStringLiteral("conf"), QStringLiteral("setparm"), name,
                                          QStringLiteral("max connections"), QString::number(maxUses)});
    if (!limited.succeeded()) {
        // A share without its limit is not the share asked for.
        runNet({QStringLiteral("conf"), QStringLiteral("delshare"), name});
        return NetStatus::InternalError;
    }
    return NetStatus::Success;
}

quint32 removeShare(const QString &server, const QString &name)
{
    if (!ServerName::isThisHost(server))
        return NetStatus::InvalidComputer;
    if (name.isEmpty() || !isUsableArgument(name))
        return NetStatus::NetNameNotFound;
    const Programs::Result removed = runNet({QStringLiteral("conf"), QStringLiteral("delshare"), name});
    if (!removed.exited())
        return NetStatus::InternalError;
    return removed.exitCode == 0 ? NetStatus::Success : NetStatus::NetNameNotFound;
}

} // namespace Shares
