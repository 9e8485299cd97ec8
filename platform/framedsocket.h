#pragma once

#include "platform/wire.h"

// Frames (platform/wire.h) over one end of a local stream socket pair, with at most one open
// descriptor passed along with a frame. Both calls block; an interrupted call is resumed.
namespace FramedSocket {

// False when the frame could not be written whole (the other end went away).
bool send(int socket, const Wire::Fields &fields, int passedDescriptor = -1);

// False at the end of the stream, on an error, and for a frame longer than Wire::maxFrameSize or
// that is not a list of fields. The descriptor that came with the frame (-1 for none) belongs to
// the caller; any further ones are closed here.
bool receive(int socket, Wire::Fields *fields, int *receivedDescriptor);

} // namespace FramedSocket
