// The log file and the settings readers, used in-process as the server uses them.
#include "app/log.h"
#include "app/settings.h"

#include <QtTest>

#include <thread>

class LogTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void lineFormat();
    void concurrentWritersKeepLinesWhole();
    void missingDirectoryIsIgnored();
    void settingsDefaultsWithoutFile();

private:
    QTemporaryDir dir;
    QString logPath() const { return dir.path() + "/Ambrix Server/ambrix-server.log"; }
    QList<QByteArray> lines() const
    {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> result = f.readAll().split('\n');
        if (!result.isEmpty() && result.last().isEmpty())
            result.removeLast();
        return result;
    }
};

void LogTest::init()
{
    qputenv("PROGRAMW6432", dir.path().toUtf8());
    QDir(dir.path()).mkpath("Ambrix Server");
    QFile::remove(logPath());
}

void LogTest::lineFormat()
{
    Log::info(QStringLiteral("Grüße aus Köln"));
    Log::error(QStringLiteral("disk full"));
    const QList<QByteArray> l = lines();
    QCOMPARE(l.size(), 2);
    const QRegularExpression stamp(
        "^\\d{2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} \\d{2}:\\d{2}:\\d{2} [+-]\\d{4} - ");
    QVERIFY2(stamp.match(QString::fromUtf8(l[0])).hasMatch(), l[0].constData());
    QVERIFY(l[0].endsWith(" - Info: Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln\r"));
    QVERIFY(l[1].endsWith(" - Error: disk full\r"));
    QCOMPARE(Settings::logPath(), logPath());
}

void LogTest::concurrentWritersKeepLinesWhole()
{
    const int perThread = 300;
    auto writer = [](char tag) {
        for (int i = 0; i < perThread; ++i)
            Log::info(QString(200, QLatin1Char(tag)));
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    const QList<QByteArray> l = lines();
    QCOMPARE(l.size(), 2 * perThread);
    for (const QByteArray &line : l) {
        const bool whole = line.endsWith(" - Info: " + QByteArray(200, 'a') + "\r")
                           || line.endsWith(" - Info: " + QByteArray(200, 'b') + "\r");
        QVERIFY2(whole, line.constData());
    }
}

void LogTest::missingDirectoryIsIgnored()
{
    qputenv("PROGRAMW6432", (dir.path() + "/nowhere").toUtf8());
    Log::error(QStringLiteral("nobody hears this"));
    QVERIFY(!QFile::exists(dir.path() + "/nowhere/Ambrix Server/ambrix-server.log"));
}

void LogTest::settingsDefaultsWithoutFile()
{
    qputenv("PROGRAMW6432", (dir.path() + "/empty").toUtf8());
    const Settings::DatabaseParameters p = Settings::readDatabaseParameters();
    QCOMPARE(p.host, QStringLiteral("localhost"));
    QCOMPARE(p.port, 3306);
    QCOMPARE(p.user, QStringLiteral("root"));
    QCOMPARE(p.password, QString());
    qunsetenv("PROGRAMW6432");
    QCOMPARE(Settings::settingsPath(), QStringLiteral("/Ambrix Server/ambrix-server.ini"));
}

QTEST_GUILESS_MAIN(LogTest)
#include "tst_log.moc"
