#pragma once

#include <QByteArray>

class ClientSession;

// Ordinary text requests: login, the two requests that need no login, and the hand-over of
// everything else to the dispatcher once the connection is logged in.
namespace RequestHandler {

QByteArray handle(ClientSession &session, const QByteArray &message);

} // namespace RequestHandler
