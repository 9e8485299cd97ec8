#include "cli/uploadsender.h"

#include "cli/cliconnection.h"
#include "cli/clioutput.h"
#include "cli/progressbar.h"

#include <QFile>
#include <QFileInfo>

#include <limits>
#include <memory>

using namespace CliOutput;

namespace {

constexpr qint64 chunkSize = 65536;
constexpr qint64 progressBarFrom = 1024 * 1024;

} // namespace

UploadSender::UploadSender(CliConnection &connection, const QString &filePath, const QByteArray &targetDir)
    : connection(connection), filePath(filePath), targetDir(targetDir)
{
}

ExitStatus UploadSender::run()
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        complain(tr("Cannot read %1: %2").arg(filePath, file.errorString()));
        return ExitBadArguments;
    }
    const qint64 size = file.size();
    if (size > std::numeric_limits<qint32>::max()) {
        complain(tr("%1 is larger than the 2147483647 bytes an upload can carry.").arg(filePath));
        return ExitBadArguments;
    }
    const QByteArray fileName = QFileInfo(filePath).fileName().toUtf8();
    if (fileName.contains('&') || fileName.contains('?')) {
        complain(tr("The file name must not contain \"?\" or \"&\"."));
        return ExitBadArguments;
    }
    file.close();

    const QByteArray message = "_sendBinaryFile_?" + fileName + '&' + targetDir + '&' + QByteArray::number(size);
    QByteArray ok;
    if (!connection.send(message) || !connection.receiveExactly(2, &ok)) {
        complain(connection.errorText());
        return ExitConnectionFailed;
    }
    if (ok != "Ok") {
        QByteArray rest;
        connection.receiveReply(&rest);
        print(ok + rest);
        complain(tr("The server did not accept the upload."));
        return ExitUploadRefused;
    }

    bool refusedEarly = false;
    if (!sendContent(size, &refusedEarly))
        return refusedEarly ? ExitUploadRefused : ExitConnectionFailed;
    // "quit" waits behind the content and makes the server close once the upload has ended, so
    // the final reply is everything before the close, even the empty one of an empty TARGETDIR.
    QByteArray reply;
    if (!connection.send("quit") || !connection.receiveUntilClosed(&reply)) {
        complain(connection.errorText());
        return ExitConnectionFailed;
    }
    print(reply);
    if (reply != targetDir) {
        complain(tr("The server refused the upload."));
        return ExitUploadRefused;
    }
    return ExitSuccess;
}

bool UploadSender::sendContent(qint64 size, bool *refusedEarly)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        complain(tr("Cannot read %1: %2").arg(filePath, file.errorString()));
        return false;
    }
    std::unique_ptr<ProgressBar> progress;
    if (size >= progressBarFrom)
        progress = std::make_unique<ProgressBar>(size);
    qint64 sent = 0;
    while (sent < size) {
        // A server that refuses before reading the content answers at once; sending the content
        // then would make the server read it as requests.
        if (connection.hasUnreadBytes()) {
            if (progress)
                progress->finish();
            QByteArray reply;
            connection.receiveReply(&reply);
            print(reply);
            complain(tr("The server refused the upload after %1 of %2 bytes.").arg(sent).arg(size));
            *refusedEarly = true;
            return false;
        }
        const QByteArray chunk = file.read(qMin(chunkSize, size - sent));
        if (chunk.isEmpty()) {
            complain(tr("Reading %1 failed after %2 bytes: %3").arg(filePath).arg(sent).arg(file.errorString()));
            return false;
        }
        if (!connection.send(chunk)) {
            complain(connection.errorText());
            return false;
        }
        sent += chunk.size();
        if (progress)
            progress->update(sent);
    }
    if (progress)
        progress->finish();
    return true;
}
