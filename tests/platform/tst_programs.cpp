// The program runner with real programs: exit codes, output, input, time limit, no shell.
#include "platform/programs.h"

#include <QtTest>

class ProgramsTest : public QObject
{
    Q_OBJECT

private slots:
    // Exit codes, crashes and missing programs reach the replies (see the host tests); a program
    // past its time limit is killed.
    void timeLimit()
    {
        const Programs::Result result = Programs::run(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, 300);
        QVERIFY(result.started && result.timedOut && !result.succeeded());
        QCOMPARE(Programs::exitCodeOf(result), -1);
        QCOMPARE(Programs::run(QStringLiteral("/bin/sh"), {"-c", "exit 255"}, -1).exitCode, 255);
    }

    void inputAndOutputBeyondAPipeful()
    {
        QByteArray input;
        for (int i = 0; i < 20000; ++i)
            input += "line " + QByteArray::number(i) + '\n';
        const Programs::Result result = Programs::run(QStringLiteral("/bin/cat"), {}, 10000, input);
        QVERIFY(result.succeeded());
        QCOMPARE(result.standardOutput, input);
    }

    void argumentsAreNotInterpreted()
    {
        QTemporaryDir dir;
        const QString marker = dir.path() + "/created";
        const Programs::Result r = Programs::run("/bin/echo", {"x; touch " + marker, "$(touch " + marker + ")"}, 5000);
        QCOMPARE(r.standardOutput, QByteArray("x; touch " + marker.toUtf8() + " $(touch " + marker.toUtf8() + ")\n"));
        QVERIFY(!QFile::exists(marker));
        // Blanks, quotes, empty and dash-led arguments arrive as they are.
        const Programs::Result exact = Programs::run("/usr/bin/printf", {"[%s]", "a b", "'q'", "", "-x"}, 5000);
        QCOMPARE(exact.standardOutput, QByteArray("[a b]['q'][][-x]"));
    }
};

QTEST_GUILESS_MAIN(ProgramsTest)
#include "tst_programs.moc"
