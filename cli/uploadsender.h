#pragma once

#include "cli/exitstatus.h"

#include <QByteArray>
#include <QString>

class CliConnection;

// The upload exchange: the "_sendBinaryFile_" message, the server's "Ok", the file content,
// then the final reply, which is the target directory exactly when the file arrived.
class UploadSender
{
public:
    UploadSender(CliConnection &connection, const QString &filePath, const QByteArray &targetDir);
    ExitStatus run();

private:
    bool sendContent(qint64 size, bool *refusedEarly);

    CliConnection &connection;
    QString filePath;
    QByteArray targetDir;
};
