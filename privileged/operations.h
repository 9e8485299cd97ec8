#pragma once

#include "platform/fieldcheck.h"
#include "platform/wire.h"

#include <QtGlobal>

// The privileged side's answer to one request: a status, the values listed for the operation in
// platform/privilegedwire.h, and a descriptor that goes with the reply (then closed here).
struct Outcome {
    quint32 status = 0;
    Wire::Fields values;
    int descriptor = -1;
};

namespace Operations {

// Runs the request when it names an operation and every field has the operation's shape;
// otherwise nothing runs and the outcome is PrivilegedWire::Refused.
Outcome run(const Wire::Fields &request);

// The shape check alone, and the shape of an operation (null for an unknown name): for the fuzz
// target of this parser.
bool isWellFormed(const Wire::Fields &request);
const std::vector<FieldKind> *shapeOf(const std::string &name);

} // namespace Operations
