#include "protocol/fileupload.h"

#include "net/clientsession.h"

namespace FileUpload {

QByteArray receive(ClientSession &session, int socket, const QByteArray &message)
{
    Q_UNUSED(socket)
    Q_UNUSED(message)
    if (session.userName.isNull())
        return QByteArrayLiteral("Not authenticated");
    return QByteArray();
}

} // namespace FileUpload
