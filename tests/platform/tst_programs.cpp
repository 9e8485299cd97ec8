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

    void separateStartAndFinishWaits_data()
    {
        QTest::addColumn<int>("startMs");
        QTest::addColumn<int>("finishMs");
        QTest::addColumn<QString>("seconds"); // how long the program runs
        QTest::addColumn<bool>("killed");
        // A wait shared with the start would end this one after a second.
        QTest::newRow("finish wait of its own") << 1000 << 20000 << "1.5" << false;
        QTest::newRow("killed after the finish wait") << 20000 << 300 << "30" << true;
    }

    void separateStartAndFinishWaits()
    {
        QFETCH(int, startMs);
        QFETCH(int, finishMs);
        QFETCH(QString, seconds);
        QFETCH(bool, killed);
        const Programs::Result result = Programs::runWithWaits("/bin/sleep", {seconds}, startMs, finishMs);
        QVERIFY(result.started);
        QCOMPARE(result.timedOut, killed);
        QCOMPARE(result.succeeded(), !killed);
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
