#include "testserver.h"

#include "platform/privilegedside.h"

#include <QDir>
#include <QProcess>
#include <QHostAddress>
#include <QSettings>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

TestDbParameters testDbParameters()
{
    return {qEnvironmentVariable("AMBRIX_TEST_DB_HOST", QStringLiteral("127.0.0.1")),
            qEnvironmentVariableIntValue("AMBRIX_TEST_DB_PORT"),
            qEnvironmentVariable("AMBRIX_TEST_DB_USER", QStringLiteral("ambrix")),
            qEnvironmentVariable("AMBRIX_TEST_DB_PASSWORD")};
}

bool startPrivilegedSideInProcess()
{
    QString error;
    if (PrivilegedSide::isStarted() || PrivilegedSide::start(QStringLiteral(AMBRIX_BINARY_DIR "/ambrix-privileged"), &error))
        return true;
    qWarning("The privileged side did not start: %s", qPrintable(error));
    return false;
}

TestServer::TestServer()
    : env(QProcessEnvironment::systemEnvironment())
{
    // The serving process reads its settings as its own account, which must get in here.
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755));
    QDir().mkpath(programFilesDir() + QStringLiteral("/Ambrix Server"));
    env.insert(QStringLiteral("PROGRAMW6432"), programFilesDir());
    env.remove(QStringLiteral("DEBUG_NOAUTH"));
    env.remove(QStringLiteral("LOGONSERVER"));
    // Not a unit of a service manager, whatever runs the tests.
    env.remove(QStringLiteral("INVOCATION_ID"));
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "JOURNAL_STREAM"})
        env.remove(QLatin1String(name));
    // Downloads of each server stay in its own directory, created by the server.
    env.insert(QStringLiteral("CACHE_DIRECTORY"), dir.path() + QStringLiteral("/cache"));
    const TestDbParameters db = testDbParameters();
    setSetting(QStringLiteral("Server/MySqlServerAddress"), db.host);
    setSetting(QStringLiteral("Server/MySqlServerPort"), db.port);
    setSetting(QStringLiteral("Server/MySqlUsername"), db.user);
    setSetting(QStringLiteral("Server/MySqlPassword"), db.password);
    setSetting(QStringLiteral("Server/MetricsAddress"), QString());
}

void TestServer::enableMetrics()
{
    metricsPort = freePort();
    setSetting(QStringLiteral("Server/MetricsAddress"), QStringLiteral("127.0.0.1:%1").arg(metricsPort));
}

QByteArray TestServer::metrics(const QByteArray &request) const
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, metricsPort);
    if (!socket.waitForConnected(5000))
        return QByteArray();
    socket.write(request);
    QByteArray answer;
    QDeadlineTimer deadline(10000);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

TestServer::~TestServer()
{
    if (isRunning()) {
        process->kill();
        process->waitForFinished(5000);
    }
}

QString TestServer::programFilesDir() const { return dir.path() + QStringLiteral("/programs"); }
QString TestServer::settingsPath() const { return programFilesDir() + QStringLiteral("/Ambrix Server/ambrix-server.ini"); }
QString TestServer::logPath() const { return programFilesDir() + QStringLiteral("/Ambrix Server/ambrix-server.log"); }
QByteArray TestServer::standardOutput() const { return readFile(dir.path() + QStringLiteral("/stdout.txt")); }
QByteArray TestServer::standardError() const { return readFile(dir.path() + QStringLiteral("/stderr.txt")); }
int TestServer::exitCode() const { return process ? process->exitCode() : -1; }
bool TestServer::waitForExit(int msecs) { return process && process->waitForFinished(msecs); }

QVariant TestServer::setting(const QString &key) const
{
    return QSettings(settingsPath(), QSettings::IniFormat).value(key);
}

void TestServer::setSetting(const QString &key, const QVariant &value)
{
    QSettings(settingsPath(), QSettings::IniFormat).setValue(key, value);
}

void TestServer::removeSetting(const QString &key)
{
    QSettings(settingsPath(), QSettings::IniFormat).remove(key);
}

bool TestServer::start(const QStringList &extraArgs, const QString &program)
{
    listenPort = freePort();
    // Tied to this process: a test that ends by a kill or an abort leaves no server behind (the
    // server keeps the tie when it becomes its serving account).
    process = std::make_unique<TiedProcess>();
    process->setProcessEnvironment(env);
    // Relative paths in requests resolve inside this server's scratch directory, never in the
    // build tree.
    const QString workingDirectory = dir.filePath(QStringLiteral("cwd"));
    QDir().mkpath(workingDirectory);
    process->setWorkingDirectory(workingDirectory);
    process->setStandardOutputFile(dir.path() + QStringLiteral("/stdout.txt"));
    process->setStandardErrorFile(dir.path() + QStringLiteral("/stderr.txt"));
    process->start(program, QStringList{"-a", listenAddress, "-p", QString::number(listenPort)} + extraArgs);
    const auto running = [this] { return process->state() == QProcess::Running; };
    // Answered, not just connected: the kernel queues connections from the moment the port is
    // bound, before the server has given up root and reads any of them. A server of TLS alone
    // is only seen listening; its clients' handshakes wait in the queue.
    const QByteArray host = listenAddress.toLatin1();
    const bool tlsOnly = setting(QStringLiteral("Server/PlainListener")).toString() == QLatin1String("false");
    const quint16 tlsPort = quint16(setting(QStringLiteral("Server/TlsPort")).toUInt());
    const auto answers = [&] {
        return tlsOnly ? TestClient(tlsPort, host.constData()).isConnected()
                       : !TestClient(listenPort, host.constData()).request("x", 1000).isEmpty();
    };
    return process->waitForStarted(5000) && waitUntil([&] { return !running() || answers(); }, 10000) && running();
}

qint64 TestServer::pid() const { return process ? process->processId() : 0; }
bool TestServer::isRunning() const { return process && process->state() == QProcess::Running; }

void TestServer::interrupt()
{
    if (isRunning())
        ::kill(static_cast<pid_t>(process->processId()), SIGINT);
}

std::unique_ptr<TestClient> TestServer::login(const QByteArray &user, const QByteArray &password,
                                              const char *sourceHost) const
{
    auto client = std::make_unique<TestClient>(listenPort, "127.0.0.1", sourceHost);
    if (client->request("login?" + user + "&&" + password) != "Authentication ok.\n")
        return nullptr;
    return client;
}

ProgramResult TestServer::run(const QStringList &args, int msecs) const
{
    return runProgram(QStringLiteral(AMBRIX_SERVER_BIN), args, QByteArray(), env, msecs);
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
