#pragma once

#include <QDeadlineTimer>
#include <QFile>
#include <QCoreApplication>
#include <QHash>
#include <QProcess>
#include <QStringList>
#include <QTest>
#include <QThread>

#include <initializer_list>

// Users of db/sample.sql that tests log in with.
namespace SampleData {
inline constexpr char AliceToken[] = "mmNVNUXtOeyZ34rKLWoUnlxfSlY2cCrRNHq402S7WBwhIRvOk6dvfkedmEgG1ALk";
inline constexpr char BobToken[] = "CrzqnOgHOfV8M1tFFbHDX9vy5qjp9rYkDFPOPN23hSHhaObydpxZGIqkJ2QDWuVF";
} // namespace SampleData

// A data table of text columns (names that live as long as the program: literals), one row per
// list: its tag, then a value for each column.
inline void addRows(std::initializer_list<const char *> columns, const QList<QStringList> &rows)
{
    for (const char *column : columns)
        QTest::addColumn<QString>(column);
    for (const QStringList &row : rows) {
        QTestData &data = QTest::newRow(qPrintable(row.first()));
        for (const QString &value : row.mid(1))
            data << value;
    }
}

// The same for the current data function from tests/fixtures/FILE, in a section that starts with
// "[function: column | column ...]": each line after it is a row, "tag | value | value ...".
// Values may hold \n, \r, \t, \\ and \xHH; "{KEY}" stands for vars[KEY]; "#" starts a comment line.
void addRowsFrom(const QString &file, const QHash<QString, QString> &vars = {});

// The current row's value of a text column, as QFETCH gives it.
inline QString field(const char *column)
{
    return *static_cast<QString *>(QTest::qData(column, qMetaTypeId<QString>()));
}

// Whole-file reads and writes for fixtures and for checking what the server wrote.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A file of tests/fixtures: SQL, rows of data tables, scripts of fake programs.
inline QByteArray fixture(const QString &name)
{
    return readFile(QStringLiteral(AMBRIX_SOURCE_DIR "/tests/fixtures/") + name);
}

inline bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// Polls until condition holds or msecs pass: for state that other threads or processes change.
template <typename Condition>
bool waitUntil(Condition condition, int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

// A process that goes with the test: killed when the thread that started it ends, however the
// test ends (a failed check, an abort, a timeout's kill), so that none is left behind.
class TiedProcess : public QProcess
{
protected:
    void setupChildProcess() override;

private:
    const qint64 parent = QCoreApplication::applicationPid();
};

// A program run to completion; exitCode is -1 when it crashed or did not finish in msecs.
struct ProgramResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
ProgramResult runProgram(const QString &program, const QStringList &args, const QByteArray &input = QByteArray(),
                         const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                         int msecs = 120000);
