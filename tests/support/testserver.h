#pragma once

#include "testclient.h"
#include "testutil.h"

#include <QTemporaryDir>
#include <QVariant>

#include <memory>

class QProcess;

// Connection parameters of the private MariaDB that scripts/test started.
struct TestDbParameters {
    QString host;
    int port = 0;
    QString user;
    QString password;
};
TestDbParameters testDbParameters();

// For tests that call the handlers in their own process: the privileged side of this build,
// started once with the process's environment as it is now.
bool startPrivilegedSideInProcess();

// The real server binary in a private installation directory (PROGRAMW6432), with settings that
// point at the test database. Output goes to files, so a chatty server never blocks on a pipe.
class TestServer
{
public:
    TestServer();
    ~TestServer();

    QString programFilesDir() const; // the PROGRAMW6432 given to the server
    QString settingsPath() const;
    QString logPath() const;

    QVariant setting(const QString &key) const;
    void setSetting(const QString &key, const QVariant &value);
    void removeSetting(const QString &key);
    void setEnv(const QString &name, const QString &value) { env.insert(name, value); }
    QProcessEnvironment environment() const { return env; }

    // Serves on 127.0.0.1 (or the address set) and a free port; true once it accepts connections
    // (on its TLS port when PlainListener is false).
    void setAddress(const QString &address) { listenAddress = address; }
    bool start(const QStringList &extraArgs = {}, const QString &program = QStringLiteral(AMBRIX_SERVER_BIN));
    quint16 port() const { return listenPort; }
    qint64 pid() const;
    bool isRunning() const;
    void interrupt();
    bool waitForExit(int msecs = 10000);
    int exitCode() const;
    QByteArray standardOutput() const;
    QByteArray standardError() const;
    QByteArray logContents() const { return readFile(logPath()); }

    // A new connection logged in as user, by default the sample user alice with her database
    // token (an administrator); null when the login is refused.
    std::unique_ptr<TestClient> login(const QByteArray &user = "alice",
                                      const QByteArray &password = SampleData::AliceToken,
                                      const char *sourceHost = nullptr) const;

    // Runs the binary with args to completion in this server's environment.
    ProgramResult run(const QStringList &args, int msecs = 15000) const;

    static quint16 freePort();

    // The metrics endpoint on a free port of 127.0.0.1 (off otherwise: test servers run side by
    // side); before start(). metrics() is the whole HTTP answer to request, read until closed.
    void enableMetrics();
    QByteArray metrics(const QByteArray &request = "GET /metrics HTTP/1.1\r\nHost: test\r\n\r\n") const;

private:
    QTemporaryDir dir;
    QProcessEnvironment env;
    std::unique_ptr<QProcess> process;
    quint16 listenPort = 0;
    quint16 metricsPort = 0;
    QString listenAddress = QStringLiteral("127.0.0.1");
};
