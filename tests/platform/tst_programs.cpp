// The program runner with real programs: exit codes, output, input, time limit, no shell.
#include "platform/programs.h"

#include <QtTest>

class ProgramsTest : public QObject
{
    Q_OBJECT

private slots:
    void outcomes();
    void argumentsAreNotInterpreted();
};

void ProgramsTest::outcomes()
{
    const Programs::Result ok = Programs::run("/bin/echo", {"a,b"}, 5000);
    QVERIFY(ok.started && !ok.crashed && !ok.timedOut);
    QCOMPARE(ok.exitCode, 0);
    QCOMPARE(ok.standardOutput, QByteArray("a,b\n"));

    const Programs::Result failing = Programs::run("/bin/sh", {"-c", "exit 3"}, 5000);
    QCOMPARE(failing.exitCode, 3);

    const Programs::Result fed = Programs::run("/bin/cat", {}, 5000, "line one\nline two\n");
    QCOMPARE(fed.standardOutput, QByteArray("line one\nline two\n"));

    const Programs::Result missing = Programs::run("/nonexistent/program", {}, 5000);
    QVERIFY(!missing.started);

    const Programs::Result slow = Programs::run("/bin/sleep", {"30"}, 200);
    QVERIFY(slow.timedOut);

    const Programs::Result killed = Programs::run("/bin/sh", {"-c", "kill -9 $$"}, 5000);
    QVERIFY(killed.crashed);
}

void ProgramsTest::argumentsAreNotInterpreted()
{
    QTemporaryDir dir;
    const QString marker = dir.path() + "/created";
    const Programs::Result r = Programs::run("/bin/echo", {"x; touch " + marker, "$(touch " + marker + ")"}, 5000);
    QCOMPARE(r.standardOutput, QByteArray("x; touch " + marker.toUtf8() + " $(touch " + marker.toUtf8() + ")\n"));
    QVERIFY(!QFile::exists(marker));
}

QTEST_GUILESS_MAIN(ProgramsTest)
#include "tst_programs.moc"
