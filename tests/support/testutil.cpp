#include "testutil.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

QString unescaped(const QString &text)
{
    QString result;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i] == '\\' && i + 1 < text.size() ? text[++i] : QChar();
        if (c.isNull())
            result += text[i];
        else if (c == 'x')
            result += QChar(text.mid((i += 2) - 1, 2).toUShort(nullptr, 16));
        else
            result += c == 'n' ? QChar('\n') : c == 'r' ? QChar('\r') : c == 't' ? QChar('\t') : c;
    }
    return result;
}

} // namespace

void addRowsFrom(const QString &file, const QHash<QString, QString> &vars)
{
    static QList<QByteArray> columns; // QtTest keeps pointers to the names
    const QString section = QStringLiteral("[%1:").arg(QLatin1String(QTest::currentTestFunction()));
    bool inSection = false;
    int count = 0;
    for (const QString &line : QString::fromUtf8(fixture(file)).split('\n')) {
        if (line.startsWith('[')) {
            inSection = line.startsWith(section);
            count = inSection ? line.count('|') + 1 : 0;
            for (const QString &column : inSection ? line.mid(section.size()).chopped(1).split('|') : QStringList()) {
                columns.append(column.trimmed().toLatin1());
                QTest::addColumn<QString>(columns.last().constData());
            }
        } else if (inSection && !line.isEmpty() && !line.startsWith('#')) {
            QStringList values = (line.endsWith(" |") ? line + ' ' : line).split(QStringLiteral(" | "));
            if (values.size() != count + 1)
                qFatal("%s: %d values, not %d, in: %s", qPrintable(file), int(values.size()) - 1, count, qPrintable(line));
            QTestData &row = QTest::newRow(qPrintable(values.takeFirst()));
            for (QString value : values) {
                value = unescaped(value);
                for (auto it = vars.cbegin(); it != vars.cend(); ++it)
                    value.replace('{' + it.key() + '}', it.value());
                row << value;
            }
        }
    }
}

void TiedProcess::setupChildProcess()
{
    // In the child, before its program starts; a parent already gone would never send it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);
}

ProgramResult runProgram(const QString &program, const QStringList &args, const QByteArray &input,
                         const QProcessEnvironment &env, int msecs)
{
    TiedProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    ProgramResult r;
    if (!p.waitForStarted(5000))
        return r;
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(msecs)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}
