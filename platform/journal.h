#pragma once

#include <QString>

// The structured journal of the service manager, for a process whose standard error it
// collects: each entry with its priority and fields a search can select by.
namespace Journal {

// Whether standard error is the journal's stream (JOURNAL_STREAM names it).
bool isAttached();

struct Fields {
    QString clientAddress;
    QString command;
    QString user;
};
void send(bool isError, const QString &message, const Fields &fields);

} // namespace Journal
