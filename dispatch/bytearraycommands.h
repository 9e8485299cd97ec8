#pragma once

#include <QByteArray>

class ClientSession;

// Requests answered with a length-prefixed binary reply (icons and logos).
namespace ByteArrayCommands {

QByteArray handle(ClientSession &session, const QByteArray &message);

} // namespace ByteArrayCommands
