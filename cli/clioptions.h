#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The command line of ambrix-cli. Messages stay raw bytes: each is sent exactly as given.
struct CliOptions {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 4445;
    bool portGiven = false;
    // TLS: the server's certificate checked against caFile (the system's trust store when
    // empty), or not at all with insecure.
    bool tls = false;
    QString caFile;
    bool insecure = false;
    QByteArray user;
    QByteArray token;
    QByteArray adminGroup;
    QString outputFile;
    int timeoutSeconds = 30;
    bool showHelp = false;

    bool isUpload = false;
    QString uploadFile;
    QByteArray uploadTargetDir;
    QList<QByteArray> messages;

    bool logsIn() const { return !user.isEmpty(); }
};

namespace CliArguments {

// Fills options from argv; returns an error text, or a null text when the line is usable.
QString parse(int argc, char **argv, CliOptions *options);
QString usageText(const char *program);

} // namespace CliArguments
