#pragma once

#include <QObject>
#include <QString>

#include <functional>

// The server object of a serving process: start() runs the accept loop on the calling thread.
// Destroying it stops serving. Registration reports its progress through the two signals.
class AXServer : public QObject
{
    Q_OBJECT

public:
    AXServer();
    ~AXServer() override;

    int start(const QByteArray &address, int port);
    // Registers this server with the principal server; the result is the process exit code.
    // beforeNetwork runs once the token is stored, before the first byte goes over the network.
    int registration(const QString &adminUser, const QString &adminPassword,
                     const std::function<bool()> &beforeNetwork = {});
    QString errorText() const { return error; }

signals:
    void progress(int percent);
    void progressText(const QString &text);

private:
    QString error;
};
