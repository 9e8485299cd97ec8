#pragma once

#include "testutil.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real, throwaway domain controller (scripts/test-domain-controller) serving the test program
// and the servers it starts, all inside the program's own network namespace: provisioned once
// per program run, gone with it (it stops when its standard input closes, so even when the
// program dies).
class TestDomain
{
public:
    static constexpr const char *realm = "AXTEST.LAN";
    static constexpr const char *domain = "AXTEST";
    static constexpr const char *address = "127.0.0.2";
    static constexpr const char *hostName = "dc1.axtest.lan";
    static constexpr const char *adminPassword = "Adm1n-Secret!";

    // In main, after PrivateAccounts::enter and before a second thread: a network namespace, a
    // /run/samba and a host name entry of the process's own. False, with the reason in
    // isolationError(), where the machine cannot make network namespaces.
    static bool isolate();
    static QString isolationError();

    // Stops the controller the way a dying test program would: its standard input closes.
    ~TestDomain();

    // Provisions and starts the controller; true once it accepts connections.
    bool start(QString *error);
    QString krb5Config() const;

    // samba-tool against the controller, as its administrator; standard output.
    QByteArray tool(const QStringList &args) const;
    // The keys of principal, written to a new keytab file at path.
    bool exportKeytab(const QString &principal, const QString &path) const;
    // A Kerberos logon (kinit) of principal with password.
    bool logsOn(const QString &principal, const QString &password) const;
    // Stops or continues every process of the controller.
    void suspend(bool stopped) const;

private:
    QProcessEnvironment kerberosEnvironment() const;
    QTemporaryDir dir;
    TiedProcess process;
};

// QTEST_GUILESS_MAIN for test programs with private accounts and a domain controller.
#define AMBRIX_TEST_MAIN_WITH_DOMAIN(TestObject) \
    int main(int argc, char *argv[]) \
    { \
        if (!PrivateAccounts::enter()) \
            return 1; \
        TestDomain::isolate(); \
        QCoreApplication app(argc, argv); \
        TestObject test; \
        QTEST_SET_MAIN_SOURCE_PATH \
        return QTest::qExec(&test, argc, argv); \
    }
