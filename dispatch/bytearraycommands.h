#pragma once

#include <QByteArray>
#include <QString>

class AXServerCommand;
class ClientSession;

// Requests answered with a length-prefixed binary reply (icons and logos).
namespace ByteArrayCommands {

// The framed reply to one "_byteArray_" message.
QByteArray handle(ClientSession &session, const QByteArray &message);
// The payload: the image bytes, or a formatted error for an unknown name or a wrong count.
QByteArray dispatch(AXServerCommand &command, const QString &request);

} // namespace ByteArrayCommands
