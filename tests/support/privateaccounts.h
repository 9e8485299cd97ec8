#pragma once

#include <QCoreApplication>
#include <QtTest>

// Lets a test program create and remove real users, groups and shares without touching the
// host's: the process moves into a mount namespace of its own in which /etc, /var/lib/samba, the
// login records and the PXE root (when the host has one) are private copies on a tmpfs. The account tools, NSS, PAM and any server
// binary the test starts inherit the namespace; the copies vanish with its last process.
namespace PrivateAccounts {

// Must run before the process has a second thread (first thing in main). False, with the
// reason on standard error, when the namespace could not be made: the test must not go on.
bool enter();

} // namespace PrivateAccounts

// QTEST_GUILESS_MAIN for test programs that change accounts.
#define AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(TestObject) \
    int main(int argc, char *argv[]) \
    { \
        if (!PrivateAccounts::enter()) \
            return 1; \
        QCoreApplication app(argc, argv); \
        TestObject test; \
        QTEST_SET_MAIN_SOURCE_PATH \
        return QTest::qExec(&test, argc, argv); \
    }
