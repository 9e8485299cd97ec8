#include "protocol/fileupload.h"

#include "base/log.h"
#include "base/servermetrics.h"
#include "dispatch/replies.h"
#include "dispatch/request.h"
#include "dispatch/sessionstate.h"
#include "platform/privileged.h"
#include "platform/privilegedwire.h"
#include "protocol/connection.h"

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

Header parseHeader(const Request &request)
{
    Header header;
    header.parameterCount = request.size();
    if (header.parameterCount == 3) {
        header.fileName = request[0];
        header.targetDir = request[1];
        header.size = Request::toNumber(request[2]);
    }
    return header;
}

QByteArray receive(const SessionState &session, Connection &connection, const Request &request)
{
    if (session.userName.isNull())
        return QByteArray(Reply::NotAuthenticated);
    Log::info(QStringLiteral("Called command: %1").arg(QString::fromUtf8(request.message())));

    const Header header = parseHeader(request);
    if (header.parameterCount != 3) {
        Log::info(QStringLiteral("Bad number of parameters (must be fileName, targetDir and fileSize, there are %1)")
                      .arg(header.parameterCount));
        return QByteArrayLiteral("Bad number of parameters for binary file message");
    }
    const QString &fileName = header.fileName;
    const QString &targetDir = header.targetDir;
    const qint64 size = header.size;

    const QString &user = session.userName; // the login's user part
    const QString directory = qEnvironmentVariable("windir") + QStringLiteral("/TEMP/ambrix-") + user
                              + (targetDir.isEmpty() ? QString() : QLatin1Char('/') + targetDir);
    // The privileged side opens the file as the user, below the user's upload directory, and
    // hands over the descriptor: nothing is written here by path.
    QFile file;
    switch (Privileged::openUploadFile(user, targetDir, fileName, &file)) {
    case PrivilegedWire::UploadOpened:
        break;
    case PrivilegedWire::NoUploadDirectory:
        return refuse(connection, size, "Cannot create temporary dir");
    case PrivilegedWire::NoTargetDirectory:
        return refuse(connection, size, "Cannot create target dir inside temporary dir");
    case PrivilegedWire::NoUploadAccount:
        return refuse(connection, size, "Cannot get user sid");
    default:
        Log::info(QStringLiteral("Absolute file name: '%1'").arg(directory + QLatin1Char('/') + fileName));
        return refuse(connection, size, "Cannot create temporary file");
    }
    Log::info(QStringLiteral("Absolute file name: '%1'").arg(directory + QLatin1Char('/') + fileName));
    if (size < 1)
        return QByteArrayLiteral("Invalid file length");

    const bool written = receiveContent(connection, file, size);
    AX_DEBUG("Done.");
    AX_DEBUG("Closing file...");
    file.close();
    AX_DEBUG("Done.");
    if (!written)
        return QByteArrayLiteral("Cannot create temporary file");
    ServerMetrics::instance().uploads.add();
    ServerMetrics::instance().uploadBytes.add(quint64(size));
    return targetDir.toUtf8();
}

} // namespace FileUpload
