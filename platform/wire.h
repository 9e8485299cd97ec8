#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The frames between the server and its helper programs: a frame is a 4-byte big-endian length
// and that many bytes, which are fields, each a 4-byte big-endian length and its bytes. A
// request's first field names the operation, a reply's first field is the status in decimal.
// Shared by the programs on both ends, so the two cannot drift apart.
namespace Wire {

using Fields = std::vector<std::string>;

// A thousand group names fit many times over; anything longer is a broken peer.
inline constexpr std::uint32_t maxFrameSize = 1u << 20;

inline void appendLength(std::string &out, std::size_t length)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((length >> shift) & 0xFFu));
}

inline std::uint32_t readLength(const char *bytes)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// Moves size bytes by repeated calls of step(done), a read or write of what is left that answers
// its byte count; false at an error or the end of the stream. An interrupted or would-block step
// is tried again (the caller waits inside step when its descriptor does not block).
template <typename Step>
bool transferAll(std::size_t size, Step step)
{
    std::size_t done = 0;
    while (done < size) {
        const long n = static_cast<long>(step(done));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The whole frame, length prefix included.
inline std::string encode(const Fields &fields)
{
    std::string payload;
    for (const std::string &field : fields) {
        appendLength(payload, field.size());
        payload += field;
    }
    std::string frame;
    appendLength(frame, payload.size());
    return frame + payload;
}

// The payload of one frame (without its prefix); false when it is not a list of fields.
inline bool decode(const std::string &payload, Fields *fields)
{
    fields->clear();
    std::size_t at = 0;
    while (at < payload.size()) {
        if (payload.size() - at < 4)
            return false;
        const std::uint32_t length = readLength(payload.data() + at);
        at += 4;
        if (length > payload.size() - at)
            return false;
        fields->emplace_back(payload, at, length);
        at += length;
    }
    return true;
}

} // namespace Wire
