#pragma once

#include <QByteArray>
#include <QString>

struct SessionState;
class Connection;
class Request;

// A file sent by a logged-in client, received into the user's upload directory.
namespace FileUpload {

// An upload message's parameters, split like the dispatcher's; the others are set only when
// there are exactly three.
struct Header {
    int parameterCount = 0;
    QString fileName;
    QString targetDir;
    qint64 size = 0; // not a number: 0
};
Header parseHeader(const Request &request);

QByteArray receive(const SessionState &session, Connection &connection, const Request &request);

} // namespace FileUpload
