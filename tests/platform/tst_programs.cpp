// The program runner with real programs: time limits, a pipeful each way, no shell. (Exit codes,
// crashes and missing programs reach the replies: see the host tests.)
#include "platform/programs.h"

#include <QtTest>

class ProgramsTest : public QObject
{
    Q_OBJECT

private slots:
    void runs()
    {
        const Programs::Result late = Programs::run(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, 300);
        QVERIFY(late.started && late.timedOut && !late.succeeded());
        QCOMPARE(Programs::exitCodeOf(late), -1);
        QCOMPARE(Programs::run(QStringLiteral("/bin/sh"), {"-c", "exit 255"}, -1).exitCode, 255);
        // The start and the finish have a wait each: one shared with the start would end the first
        // run after a second; the second is killed after its finish wait.
        QVERIFY(Programs::runWithWaits("/bin/sleep", {"1.5"}, 1000, 20000).succeeded());
        const Programs::Result killed = Programs::runWithWaits("/bin/sleep", {"30"}, 20000, 300);
        QVERIFY(killed.started && killed.timedOut && !killed.succeeded());

        QByteArray input;
        for (int i = 0; i < 20000; ++i)
            input += "line " + QByteArray::number(i) + '\n';
        QCOMPARE(Programs::run(QStringLiteral("/bin/cat"), {}, 10000, input).standardOutput, input);

        // Blanks, quotes, empty and dash-led arguments, and what a shell would run, arrive as they are.
        QTemporaryDir dir;
        const QString marker = dir.path() + "/created";
        const Programs::Result r = Programs::run("/usr/bin/printf", {"[%s]", "a b", "'q'", "", "-x", "$(touch " + marker + ");"}, 5000);
        QCOMPARE(r.standardOutput, "[a b]['q'][][-x][$(touch " + marker.toUtf8() + ");]");
        QVERIFY(!QFile::exists(marker));
    }
};

QTEST_GUILESS_MAIN(ProgramsTest)
#include "tst_programs.moc"
