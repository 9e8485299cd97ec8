#pragma once

#include <QByteArray>

class ClientSession;

// Text and byte-array requests: the login, the requests answered before a login, and the hand-over
// of everything else to the dispatcher once the connection is logged in.
namespace RequestHandler {

QByteArray handle(ClientSession &session, const QByteArray &message);
// The framed reply to one "_byteArray_" message.
QByteArray handleByteArray(ClientSession &session, const QByteArray &message);
// A byte-array reply: the payload behind its length, four bytes, most significant first.
QByteArray framed(const QByteArray &payload);

} // namespace RequestHandler
