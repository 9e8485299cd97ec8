// The program runner with real programs: exit codes, output, input, time limit, no shell.
#include "platform/programs.h"

#include <QTemporaryDir>
#include <QtTest>

class ProgramsTest : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data();
    void outcomes();
    void inputAndOutputBeyondAPipeful();
    void argumentsAreNotInterpreted();
};

void ProgramsTest::outcomes_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<bool>("timedOut");
    QTest::addColumn<int>("exitCode");
    const QString sh = QStringLiteral("/bin/sh");
    QTest::newRow("success") << sh << QStringList{"-c", "exit 0"} << 10000 << true << false << false << 0;
    QTest::newRow("exit code") << sh << QStringList{"-c", "exit 9"} << 10000 << true << false << false << 9;
    QTest::newRow("exit 255") << sh << QStringList{"-c", "exit 255"} << 10000 << true << false << false << 255;
    QTest::newRow("no limit") << sh << QStringList{"-c", "exit 4"} << -1 << true << false << false << 4;
    QTest::newRow("missing program") << "/nonexistent/tool" << QStringList{} << 10000 << false << false << false << -1;
    QTest::newRow("killed by a signal") << sh << QStringList{"-c", "kill -9 $$"} << 10000 << true << true << false << -1;
    QTest::newRow("too slow") << "/bin/sleep" << QStringList{"30"} << 300 << true << false << true << -1;
}

void ProgramsTest::outcomes()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, timeoutMs);
    QFETCH(bool, started);
    QFETCH(bool, crashed);
    QFETCH(bool, timedOut);
    QFETCH(int, exitCode);
    const Programs::Result result = Programs::run(program, args, timeoutMs);
    QCOMPARE(result.started, started);
    QCOMPARE(result.crashed, crashed);
    QCOMPARE(result.timedOut, timedOut);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.succeeded(), started && !crashed && !timedOut && exitCode == 0);
}

void ProgramsTest::inputAndOutputBeyondAPipeful()
{
    QByteArray input;
    for (int i = 0; i < 20000; ++i)
        input += "line " + QByteArray::number(i) + '\n';
    const Programs::Result result = Programs::run(QStringLiteral("/bin/cat"), {}, 10000, input);
    QVERIFY(result.succeeded());
    QCOMPARE(result.standardOutput, input);
}

void ProgramsTest::argumentsAreNotInterpreted()
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

QTEST_GUILESS_MAIN(ProgramsTest)
#include "tst_programs.moc"
