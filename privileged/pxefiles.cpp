#include "privileged/pxefiles.h"

#include "platform/privilegedwire.h"
#include "privileged/beneath.h"
#include "platform/fieldcheck.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

using namespace PrivilegedWire;

// Fixed: boot servers serve the clients' files from here.
const char pxeRoot[] = "/var/lib/config";

// The file name's directories and its last component, below the client's directory; false for a
// ".." anywhere or no name.
bool splitFileName(const QString &fileName, QByteArray *directories, QByteArray *name)
{
    QList<QByteArray> parts;
    for (const QByteArray &part : QFile::encodeName(fileName).split('/')) {
        if (part == "..")
            return false;
        if (!part.isEmpty() && part != ".")
            parts.append(part);
    }
    if (parts.isEmpty())
        return false;
    *name = parts.takeLast();
    *directories = parts.isEmpty() ? QByteArray() : QByteArray(parts.first());
    for (int i = 1; i < parts.size(); ++i)
        *directories += '/' + parts.at(i);
    return true;
}

bool isClientName(const QString &client)
{
    return FieldCheck::isPathComponent(client.toStdString()) && FieldCheck::isPlainText(client.toStdString());
}

bool writeAll(int fd, const QByteArray &content)
{
    for (qint64 done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

namespace PxeFiles {

quint32 write(const QString &client, const QString &fileName, const QByteArray &content)
{
    if (!isClientName(client))
        return PxeNoDirectory;
    const QByteArray clientName = QFile::encodeName(client);
    const Descriptor root = Beneath::openTrusted(QString::fromLatin1(pxeRoot));
    if (!root.isOpen() || (::mkdirat(root.get(), clientName.constData(), 0755) != 0 && errno != EEXIST))
        return PxeNoDirectory;
    const Descriptor clientDirectory = Beneath::openDirectory(root, clientName);
    if (!clientDirectory.isOpen())
        return PxeNoDirectory;
    QByteArray directories, name;
    if (!splitFileName(fileName, &directories, &name))
        return PxeNoFile;
    const Descriptor file =
        Beneath::openRegularFileForWriting(Beneath::walk(clientDirectory, directories, true), name, 0644);
    // A short write would leave a broken boot file behind an "Ok".
    if (!file.isOpen() || !writeAll(file.get(), content) || ::fsync(file.get()) != 0)
        return PxeNoFile;
    return PxeDone;
}

quint32 remove(const QString &client, const QString &fileName)
{
    if (!isClientName(client))
        return PxeNoFile;
    const Descriptor root = Beneath::openTrusted(QString::fromLatin1(pxeRoot));
    const Descriptor clientDirectory = Beneath::openDirectory(root, QFile::encodeName(client));
    if (!clientDirectory.isOpen())
        return errno == ENOENT || !root.isOpen() ? PxeDone : PxeNoFile;
    // The name is pasted onto the client's directory as it stands: without a leading "/" it
    // names something beside the directory, never inside it.
    QByteArray directories, name;
    if (!fileName.startsWith(QLatin1Char('/')) || !splitFileName(fileName, &directories, &name))
        return PxeNoFile;
    const Descriptor directory = Beneath::walk(clientDirectory, directories, false);
    if (!directory.isOpen())
        return errno == ENOENT ? PxeDone : PxeNoFile;
    // Never a directory, and a link is removed itself, never followed.
    if (::unlinkat(directory.get(), name.constData(), 0) != 0 && errno != ENOENT)
        return PxeNoFile;
    return PxeDone;
}

} // namespace PxeFiles
