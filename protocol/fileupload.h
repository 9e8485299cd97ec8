#pragma once

#include <QByteArray>

class ClientSession;
class Connection;

// A file sent by a logged-in client, received into the user's upload directory.
namespace FileUpload {

QByteArray receive(ClientSession &session, Connection &connection, const QByteArray &message);

} // namespace FileUpload
