#pragma once

#include <QByteArray>
#include <QString>

// Boot files of the PXE clients, below the fixed root "/var/lib/config" in a directory per client
// (its MAC address in lower case). Clients' trees are walked from the root's descriptor.
namespace PxeFiles {

// Writes content to fileName (a path below the client's directory, whose missing directories are
// made) in the client's directory, made when missing; the root itself is never made. Answers a
// PrivilegedWire::PxeStatus.
quint32 write(const QString &client, const QString &fileName, const QByteArray &content);

// Removes fileName below the client's directory; what is not there counts as removed.
quint32 remove(const QString &client, const QString &fileName);

} // namespace PxeFiles
