#pragma once

#include <QByteArray>
#include <QString>

// Icons and logos: downloaded from the console's media location into "$CACHE_DIRECTORY/media"
// (systemd's CacheDirectory=; /var/cache/ambrix-server when unset), which only the server can
// write, and read back from there.
namespace MediaFetch {

// The bytes of the media file at path (below the configured base URL); empty when the download
// crashed or was still running after its waits, or the directories cannot be trusted.
QByteArray fetch(const QString &path);

} // namespace MediaFetch
