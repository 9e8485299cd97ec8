#include "cli/clioutput.h"

#include <QCoreApplication>

#include <cstdio>

namespace CliOutput {

QString tr(const char *text)
{
    return QCoreApplication::translate("ambrix-cli", text);
}

void print(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void complain(const QString &text)
{
    std::fprintf(stderr, "ambrix-cli: %s\n", qUtf8Printable(text));
}

} // namespace CliOutput
