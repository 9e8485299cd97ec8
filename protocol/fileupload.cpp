#include "protocol/fileupload.h"

#include "app/log.h"
#include "dispatch/request.h"
#include "platform/accounts.h"
#include "platform/directoryhandle.h"
#include "platform/fileacl.h"
#include "platform/regularfile.h"
#include "protocol/clientsession.h"
#include "protocol/connection.h"

#include <QDir>
#include <QFile>
#include <QtDebug>

namespace FileUpload {

namespace {

// The most file content held in memory at once, whatever the size of the file.
constexpr qint64 pieceLimit = 65536;

int nextPieceSize(qint64 missing)
{
    return int(qMin(missing, pieceLimit));
}

// A refused upload still takes its content off the connection, so that file bytes are never
// read as requests and the client's next request is answered normally.
void discardContent(Connection &connection, qint64 size)
{
    for (qint64 missing = size; missing > 0;) {
        const QByteArray piece = connection.receive(nextPieceSize(missing));
        if (piece.isEmpty())
            return;
        missing -= piece.size();
    }
}

bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".")
        && name != QLatin1String("..");
}

// Writes the content to file as it arrives. A connection that ends early leaves the bytes
// written so far; a file that cannot take the bytes gives false, after the rest of the content
// has been taken off the connection.
bool receiveContent(Connection &connection, QFile &file, qint64 size)
{
    for (qint64 missing = size; missing > 0;) {
        const QByteArray piece = connection.receive(nextPieceSize(missing));
        if (piece.isEmpty())
            break;
        missing -= piece.size();
        if (file.write(piece) != piece.size()) {
            discardContent(connection, missing);
            return false;
        }
        AX_DEBUG("%d bytes written", int(piece.size()));
    }
    return true;
}

QByteArray refuse(Connection &connection, qint64 size, const char *reply)
{
    discardContent(connection, size);
    return QByteArray(reply);
}

} // namespace

Header parseHeader(const QByteArray &message)
{
    const Request request = Request::fromMessage(message);
    Header header;
    header.parameterCount = request.size();
    if (header.parameterCount == 3) {
        header.fileName = request[0];
        header.targetDir = request[1];
        header.size = Request::toNumber(request[2]);
    }
    return header;
}

QByteArray receive(ClientSession &session, Connection &connection, const QByteArray &message)
{
    if (session.userName.isNull())
        return QByteArrayLiteral("Not authenticated");
    const QString text = QString::fromUtf8(message);
    Log::info(QStringLiteral("Called command: %1").arg(text));

    const Header header = parseHeader(message);
    if (header.parameterCount != 3) {
        Log::info(QStringLiteral("Bad number of parameters (must be fileName, targetDir and fileSize, there are %1)")
                      .arg(header.parameterCount));
        return QByteArrayLiteral("Bad number of parameters for binary file message");
    }
    const QString &fileName = header.fileName;
    const QString &targetDir = header.targetDir;
    const qint64 size = header.size;

    const QString baseDir = qEnvironmentVariable("windir") + QStringLiteral("/TEMP");
    AX_DEBUG("Tempdir: '%s'", qUtf8Printable(baseDir));
    const QString &user = session.userName; // the login's user part
    const QString uploadDirName = QStringLiteral("ambrix-") + user;
    const QString uploadDir = baseDir + QLatin1Char('/') + uploadDirName;
    QDir().mkpath(baseDir);
    // From here on every name is opened below a directory already open, never by path: users
    // write inside their upload directory and may swap any component for a link at any time.
    const DirectoryHandle uploadHandle = DirectoryHandle::open(baseDir).openBelow(uploadDirName, true);
    AX_DEBUG("New Tempdir: '%s'", qUtf8Printable(uploadDir));
    if (!uploadHandle.isOpen())
        return refuse(connection, size, "Cannot create temporary dir");

    QString directory = uploadDir;
    DirectoryHandle target = uploadHandle.openBelow(QString(), false);
    if (!targetDir.isEmpty()) {
        directory = uploadDir + QLatin1Char('/') + targetDir;
        target = uploadHandle.openBelow(targetDir, true);
        if (!target.isOpen())
            return refuse(connection, size, "Cannot create target dir inside temporary dir");
    }

    const Accounts::AccountLookup account = Accounts::lookupAccount(user);
    if (account.status != 0)
        return refuse(connection, size, "Cannot get user sid");
    // The user alone (besides root) gets into the directory, not every account.
    if (FileAcl::grantExclusiveAccess(target, account.sid) != FileAcl::Result::Applied)
        AX_DEBUG("Cannot open '%s' to user '%s'", qUtf8Printable(directory), qUtf8Printable(user));

    const QString filePath = directory + QLatin1Char('/') + fileName;
    Log::info(QStringLiteral("Absolute file name: '%1'").arg(filePath));
    if (!isPlainFileName(fileName))
        return refuse(connection, size, "Cannot create temporary file");
    // Never written through a link the user may have planted in place of the file.
    QFile file;
    if (!RegularFile::openTruncated(&file, target, fileName))
        return refuse(connection, size, "Cannot create temporary file");
    if (size < 1)
        return QByteArrayLiteral("Invalid file length");

    const bool written = receiveContent(connection, file, size);
    AX_DEBUG("Done.");
    // Given while still open: the user could swap the name for a link once the file is closed.
    AX_DEBUG("Changing owner to '%s'...", qUtf8Printable(user));
    if (FileAcl::giveToAccount(file, account.sid, account.primaryGroupSid) != FileAcl::Result::Applied)
        AX_DEBUG("Cannot give '%s' to user '%s'", qUtf8Printable(filePath), qUtf8Printable(user));
    AX_DEBUG("Closing file...");
    file.close();
    AX_DEBUG("Done.");
    if (!written)
        return QByteArrayLiteral("Cannot create temporary file");
    return targetDir.toUtf8();
}

} // namespace FileUpload
