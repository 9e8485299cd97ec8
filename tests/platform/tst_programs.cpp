// The program runner with real programs: exit codes, output, input, time limit, no shell.
#include "platform/programs.h"

#include <QtTest>

class ProgramsTest : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("exitCode"); // as replies report it
        const QString sh = QStringLiteral("/bin/sh");
        QTest::newRow("success") << sh << QStringList{"-c", "exit 0"} << 10000 << 0;
        QTest::newRow("exit 255, no limit") << sh << QStringList{"-c", "exit 255"} << -1 << 255;
        QTest::newRow("missing program") << "/nonexistent/tool" << QStringList{} << 10000 << -2;
        QTest::newRow("killed by a signal") << sh << QStringList{"-c", "kill -9 $$"} << 10000 << -1;
        QTest::newRow("too slow") << "/bin/sleep" << QStringList{"30"} << 300 << -1;
    }

    void outcomes()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(int, timeoutMs);
        QFETCH(int, exitCode);
        const Programs::Result result = Programs::run(program, args, timeoutMs);
        QCOMPARE(Programs::exitCodeOf(result), exitCode);
        QCOMPARE(result.succeeded(), exitCode == 0);
        QCOMPARE(result.timedOut, QByteArray(QTest::currentDataTag()) == "too slow");
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
