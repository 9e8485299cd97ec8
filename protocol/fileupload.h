#pragma once

#include <QByteArray>

class ClientSession;

// A file sent by a logged-in client, received into the user's upload directory.
namespace FileUpload {

QByteArray receive(ClientSession &session, int socket, const QByteArray &message);

} // namespace FileUpload
