#pragma once

#include "dispatch/commandtable.h"

#include <QByteArray>

class LoggedMessage;
class Request;
struct SessionState;

// Text and byte-array requests: the requests answered before a login (the login among them),
// and everything else once the connection is logged in, each through its row of the table.
namespace RequestHandler {

QByteArray handle(SessionState &session, const Request &request, const CommandRow *row, const LoggedMessage &logged);
// The framed reply to one "_byteArray_" message.
QByteArray handleByteArray(SessionState &session, const Request &request, const ByteArrayRow *row);
// A byte-array reply: the payload behind its length, four bytes, most significant first.
QByteArray framed(const QByteArray &payload);

} // namespace RequestHandler
