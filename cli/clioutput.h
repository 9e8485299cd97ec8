#pragma once

#include <QByteArray>
#include <QString>

// What ambrix-cli shows: replies byte for byte on standard output, complaints on standard error,
// every text through one translation context.
namespace CliOutput {

QString tr(const char *text);
void print(const QByteArray &bytes);
void complain(const QString &text);

} // namespace CliOutput
