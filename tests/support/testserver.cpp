#include "testserver.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool canConnect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

} // namespace

TestDbParameters testDbParameters()
{
    TestDbParameters p;
    p.host = qEnvironmentVariable("AMBRIX_TEST_DB_HOST", QStringLiteral("127.0.0.1"));
    p.port = qEnvironmentVariableIntValue("AMBRIX_TEST_DB_PORT");
    p.user = qEnvironmentVariable("AMBRIX_TEST_DB_USER", QStringLiteral("ambrix"));
    p.password = qEnvironmentVariable("AMBRIX_TEST_DB_PASSWORD");
    p.socket = qEnvironmentVariable("AMBRIX_TEST_DB_SOCKET");
    return p;
}

TestServer::TestServer()
    : env(QProcessEnvironment::systemEnvironment())
{
    QDir().mkpath(installationDirectory());
    QDir().mkpath(workDir());
    env.insert(QStringLiteral("PROGRAMW6432"), programFilesDir());
    env.remove(QStringLiteral("DEBUG_NOAUTH"));
    env.remove(QStringLiteral("LOGONSERVER"));
    // Downloads of each server stay in its own directory, created by the server.
    env.insert(QStringLiteral("CACHE_DIRECTORY"), dir.path() + QStringLiteral("/cache"));
    const TestDbParameters db = testDbParameters();
    setSetting(QStringLiteral("Server/MySqlServerAddress"), db.host);
    setSetting(QStringLiteral("Server/MySqlServerPort"), db.port);
    setSetting(QStringLiteral("Server/MySqlUsername"), db.user);
    setSetting(QStringLiteral("Server/MySqlPassword"), db.password);
}

TestServer::~TestServer()
{
    if (isRunning()) {
        process->kill();
        process->waitForFinished(5000);
    }
}

QString TestServer::programFilesDir() const { return dir.path() + QStringLiteral("/programs"); }
QString TestServer::installationDirectory() const { return programFilesDir() + QStringLiteral("/Ambrix Server/"); }
QString TestServer::settingsPath() const { return installationDirectory() + QStringLiteral("ambrix-server.ini"); }
QString TestServer::logPath() const { return installationDirectory() + QStringLiteral("ambrix-server.log"); }
QString TestServer::workDir() const { return dir.path() + QStringLiteral("/work"); }

void TestServer::setSetting(const QString &key, const QVariant &value)
{
    QSettings settings(settingsPath(), QSettings::IniFormat);
    settings.setValue(key, value);
}

void TestServer::removeSetting(const QString &key)
{
    QSettings settings(settingsPath(), QSettings::IniFormat);
    settings.remove(key);
}

void TestServer::setEnv(const QString &name, const QString &value) { env.insert(name, value); }
void TestServer::unsetEnv(const QString &name) { env.remove(name); }

bool TestServer::start(const QStringList &extraArgs)
{
    listenPort = freePort();
    process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env);
    // Relative paths in requests resolve inside the scratch directory, never in the build tree.
    process->setWorkingDirectory(workDir());
    process->setStandardOutputFile(dir.path() + QStringLiteral("/stdout.txt"));
    process->setStandardErrorFile(dir.path() + QStringLiteral("/stderr.txt"));
    QStringList args{QStringLiteral("-a"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                     QString::number(listenPort)};
    args += extraArgs;
    process->start(QStringLiteral(AMBRIX_SERVER_BIN), args);
    if (!process->waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (canConnect(listenPort))
            return true;
        if (process->state() != QProcess::Running)
            return false;
        QThread::msleep(20);
    }
    return false;
}

qint64 TestServer::pid() const { return process ? process->processId() : 0; }

bool TestServer::isRunning() const { return process && process->state() == QProcess::Running; }

void TestServer::interrupt()
{
    if (isRunning())
        ::kill(static_cast<pid_t>(process->processId()), SIGINT);
}

bool TestServer::waitForExit(int msecs) { return process && process->waitForFinished(msecs); }

int TestServer::exitCode() const { return process ? process->exitCode() : -1; }

QByteArray TestServer::standardOutput() const { return readFile(dir.path() + QStringLiteral("/stdout.txt")); }
QByteArray TestServer::standardError() const { return readFile(dir.path() + QStringLiteral("/stderr.txt")); }
QByteArray TestServer::logContents() const { return readFile(logPath()); }

std::unique_ptr<TestClient> TestServer::login(const QByteArray &user, const QByteArray &password,
                                              const char *sourceHost) const
{
    auto client = std::make_unique<TestClient>(listenPort, "127.0.0.1", sourceHost);
    if (client->request("login?" + user + "&&" + password) != "Authentication ok.\n")
        return nullptr;
    return client;
}

RunResult TestServer::run(const QStringList &args, int msecs) const
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(AMBRIX_SERVER_BIN), args);
    RunResult r;
    p.waitForStarted(5000);
    r.finished = p.waitForFinished(msecs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitCode();
    r.standardOutput = p.readAllStandardOutput();
    r.standardError = p.readAllStandardError();
    return r;
}

quint16 TestServer::freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}
