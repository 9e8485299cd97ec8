#include "platform/journal.h"

#include <QByteArray>

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdlib>
#include <sys/uio.h>
#include <vector>

namespace Journal {

bool isAttached()
{
    // "device:inode" of the stream; standard error redirected elsewhere no longer matches.
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    struct stat info;
    if (colon <= 0 || ::fstat(STDERR_FILENO, &info) != 0)
        return false;
    bool deviceOk = false, inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    return deviceOk && inodeOk && device == qulonglong(info.st_dev) && inode == qulonglong(info.st_ino);
}

void send(bool isError, const QString &message, const Fields &fields)
{
    std::vector<QByteArray> items;
    items.reserve(6);
    items.push_back("MESSAGE=" + message.toUtf8());
    items.push_back(QByteArray("PRIORITY=") + QByteArray::number(isError ? LOG_ERR : LOG_INFO));
    items.push_back("SYSLOG_IDENTIFIER=ambrix-server");
    // Names of fields the operator searches by; a field without a value is left out.
    const struct {
        const char *name;
        const QString &value;
    } named[] = {{"CLIENT_ADDRESS=", fields.clientAddress}, {"COMMAND=", fields.command}, {"USER=", fields.user}};
    for (const auto &f : named) {
        if (!f.value.isEmpty())
            items.push_back(f.name + f.value.toUtf8());
    }
    std::vector<iovec> vector;
    for (QByteArray &item : items)
        vector.push_back(iovec{item.data(), size_t(item.size())});
    sd_journal_sendv(vector.data(), int(vector.size()));
}

} // namespace Journal
