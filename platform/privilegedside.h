#pragma once

#include "platform/wire.h"

#include <QString>

// The serving process's end of the privileged side (ambrix-privileged): started once, while the
// serving process still holds the privileges it is about to give up, and asked over socket pairs
// from then on. Requests run one per channel; a caller takes an idle channel or opens another, so
// that one slow operation never holds up the others.
namespace PrivilegedSide {

struct Reply {
    bool answered = false; // false: the privileged side is gone
    quint32 status = 0;
    Wire::Fields values;
    int descriptor = -1; // came with the reply; owned by the caller
};

// Starts the program (beside the server's binary in the build tree, else the installed one);
// false with the reason.
bool start(QString *error);
// The same with the program at a path of the caller's choice (a test's build tree).
bool start(const QString &program, QString *error);
bool isStarted();

// One request (its operation's name first) and its reply.
Reply call(const Wire::Fields &request);

} // namespace PrivilegedSide
