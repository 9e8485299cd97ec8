// ambrix-cli: a small client for operators and for trying the server by hand.
#include "cli/cliconnection.h"
#include "cli/clioptions.h"
#include "cli/clioutput.h"
#include "cli/exitstatus.h"
#include "cli/uploadsender.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

using namespace CliOutput;

namespace {

ExitStatus logIn(CliConnection &connection, const CliOptions &o)
{
    QByteArray reply;
    if (!connection.send("login?" + o.user + '&' + o.adminGroup + '&' + o.token)
        || !connection.receiveLine(&reply)) {
        complain(connection.errorText());
        return ExitConnectionFailed;
    }
    if (reply == "Authentication ok.\n")
        return ExitSuccess;
    // The server keeps such a login, without administrator rights.
    if (reply == "Error: Not in admin group\n") {
        complain(tr("Logged in as %1 without administrator rights: not in admin group %2.")
                     .arg(QString::fromUtf8(o.user), QString::fromUtf8(o.adminGroup)));
        return ExitSuccess;
    }
    complain(tr("Login as %1 refused: %2").arg(QString::fromUtf8(o.user), QString::fromUtf8(reply.trimmed())));
    return ExitLoginRefused;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    complain(tr("Cannot write %1: %2").arg(path, file.errorString()));
    return false;
}

// A byte-array reply is its payload behind a four-byte big-endian length, except the plain
// "Not authenticated" of a connection that has not logged in.
ExitStatus receiveByteArray(CliConnection &connection, const CliOptions &o)
{
    QByteArray prefix;
    if (!connection.receiveExactly(4, &prefix)) {
        complain(connection.errorText());
        return ExitConnectionFailed;
    }
    if (prefix == "Not ") {
        QByteArray rest;
        if (!connection.receiveReply(&rest)) {
            complain(connection.errorText());
            return ExitConnectionFailed;
        }
        print(prefix + rest);
        return ExitSuccess;
    }
    const quint32 size = (quint32(quint8(prefix[0])) << 24) | (quint32(quint8(prefix[1])) << 16)
                         | (quint32(quint8(prefix[2])) << 8) | quint32(quint8(prefix[3]));
    if (size > 1024u * 1024u * 1024u) {
        complain(tr("The reply announces %1 bytes; that is no byte-array reply.").arg(size));
        return ExitConnectionFailed;
    }
    QByteArray payload;
    if (!connection.receiveExactly(size, &payload)) {
        complain(connection.errorText());
        return ExitConnectionFailed;
    }
    print(QByteArray::number(size) + " bytes\n");
    // Failures come back as a formatted error text in the payload.
    if (o.outputFile.isEmpty() && payload.startsWith("Error"))
        print(payload + '\n');
    if (!o.outputFile.isEmpty() && !writeFile(o.outputFile, payload))
        return ExitBadArguments;
    return ExitSuccess;
}

ExitStatus exchange(CliConnection &connection, const QByteArray &message, const CliOptions &o)
{
    if (!connection.send(message)) {
        complain(connection.errorText());
        return ExitConnectionFailed;
    }
    if (message.startsWith("quit")) {
        // No reply: the server closes the connection.
        QByteArray rest;
        connection.receiveUntilClosed(&rest);
        print(rest);
        return ExitSuccess;
    }
    if (message.startsWith("_byteArray_"))
        return receiveByteArray(connection, o);
    QByteArray reply;
    if (!connection.receiveReply(&reply)) {
        // A relayed control message whose client stays silent is answered with nothing at all.
        if (message.startsWith("_serverCommand_") && connection.isConnected()) {
            complain(tr("No reply: the server sends nothing for an empty reply."));
            return ExitSuccess;
        }
        complain(connection.errorText());
        return ExitConnectionFailed;
    }
    print(reply);
    return ExitSuccess;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    CliOptions options;
    const QString error = CliArguments::parse(argc, argv, &options);
    if (options.showHelp) {
        std::fputs(qUtf8Printable(CliArguments::usageText(argv[0])), stdout);
        return ExitSuccess;
    }
    if (!error.isNull()) {
        complain(error);
        complain(tr("Try: %1 --help").arg(QString::fromLocal8Bit(argv[0])));
        return ExitBadArguments;
    }

    if (options.isUpload && !QFileInfo(options.uploadFile).isFile()) {
        complain(tr("%1 is no file that can be sent.").arg(options.uploadFile));
        return ExitBadArguments;
    }
    CliConnection connection(options.timeoutSeconds * 1000);
    if (options.insecure)
        complain(tr("WARNING: --insecure: the server's certificate is not checked. Anyone between here "
                    "and %1 can read and change this connection, the password or token included.")
                     .arg(options.host));
    const bool opened = options.tls ? connection.openEncrypted(options.host, options.port, options.caFile, options.insecure)
                                    : connection.open(options.host, options.port);
    if (!opened) {
        complain(connection.errorText());
        return ExitConnectionFailed;
    }
    if (options.logsIn()) {
        const ExitStatus status = logIn(connection, options);
        if (status != ExitSuccess)
            return status;
    }
    if (options.isUpload)
        return UploadSender(connection, options.uploadFile, options.uploadTargetDir).run();
    for (const QByteArray &message : qAsConst(options.messages)) {
        const ExitStatus status = exchange(connection, message, options);
        if (status != ExitSuccess)
            return status;
    }
    return ExitSuccess;
}
