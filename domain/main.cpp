// ambrix-domain: the server's one door to the domain. The network-management library keeps one
// context per process, must be called from one thread at a time and may abort on misuse, so the
// server runs every domain call in this process, one at a time, and restarts it when it dies.
// Requests and replies travel on descriptor 3 (see platform/domain/domainwire.h); the first request is
// "hello" with the credentials, which never appear in arguments or the environment.
#include "directory.h"
#include "kerberos.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Fields = DomainWire::Fields;

const int channel = 3;
const std::uint32_t parameterError = 87;   // ERROR_INVALID_PARAMETER
const std::uint32_t notSetUp = 2140;       // NERR_InternalError

bool readExactly(std::string &out, std::size_t size)
{
    out.resize(size);
    return DomainWire::transferAll(size, [&](std::size_t done) { return read(channel, &out[done], size - done); });
}

bool readRequest(Fields *fields)
{
    std::string prefix;
    if (!readExactly(prefix, 4))
        return false;
    const std::uint32_t size = DomainWire::readLength(prefix.data());
    std::string payload;
    return size <= DomainWire::maxFrameSize && readExactly(payload, size) && DomainWire::decode(payload, fields)
        && !fields->empty();
}

bool writeReply(const Fields &fields)
{
    const std::string frame = DomainWire::encode(fields);
    return DomainWire::transferAll(frame.size(), [&](std::size_t done) {
        return write(channel, frame.data() + done, frame.size() - done);
    });
}

void wipe(Fields &fields)
{
    for (std::string &field : fields)
        std::memset(field.data(), 0, field.size());
}

Fields status(std::uint32_t value)
{
    return {std::to_string(value)};
}

// The keytab travels in base64: the server's side of the channel carries text.
std::string fromBase64(const std::string &text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        const std::size_t digit = alphabet.find(c);
        if (digit == std::string::npos)
            break; // "=" padding, or the end
        value = (value << 6) | unsigned(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>((value >> bits) & 0xFFu));
        }
    }
    return bytes;
}

struct Credentials {
    bool useKeytab = false;
    std::string principal; // for the keytab
};
Credentials credentials;
bool isSetUp = false;

// hello: user, password, "1" to use the host's keytab instead, realm, and that keytab (the
// server reads it for this helper, which runs without the privilege to).
Fields hello(const Fields &args)
{
    credentials.useKeytab = args[2] == "1";
    if (credentials.useKeytab && !args[4].empty() && !Kerberos::useKeytab(fromBase64(args[4])))
        std::fprintf(stderr, "ambrix-domain: the keytab could not be kept\n");
    if (credentials.useKeytab && !args[0].empty())
        credentials.principal = args[3].empty() || args[0].find('@') != std::string::npos ? args[0] : args[0] + "@" + args[3];
    if (credentials.useKeytab && Kerberos::obtainTickets(credentials.principal) != 0)
        std::fprintf(stderr, "ambrix-domain: no tickets from the keytab yet\n");
    isSetUp = Directory::start(args[0], args[1], credentials.useKeytab);
    return status(isSetUp ? 0 : notSetUp);
}

Fields checkPassword(const Fields &args)
{
    return status(Kerberos::checkPassword(args[0], args[1]));
}

Fields changePassword(const Fields &args)
{
    return status(Kerberos::changePassword(args[0], args[1], args[2]));
}

struct Operation {
    const char *name;
    std::size_t arguments;
    bool needsDirectory;
    Fields (*run)(const Fields &args);
};

const Operation operations[] = {
    {"hello", 5, false, hello},
    {"user_info", 2, true, Directory::userInfo},
    {"group_info", 2, true, Directory::groupInfo},
    {"user_add", 4, true, Directory::addUser},
    {"user_delete", 2, true, Directory::deleteUser},
    {"user_set", 6, true, Directory::setUser},
    {"user_password", 3, true, Directory::setPassword},
    {"group_add", 2, true, Directory::addGroup},
    {"group_delete", 2, true, Directory::deleteGroup},
    {"member_add", 3, true, Directory::addMember},
    {"member_delete", 3, true, Directory::deleteMember},
    {"members", 2, true, Directory::members},
    {"groups", 2, true, Directory::groups},
    {"check_password", 2, false, checkPassword},
    {"change_password", 3, false, changePassword},
};

Fields run(const Fields &request, const Fields &args)
{
    for (const Operation &operation : operations) {
        if (request[0] != operation.name)
            continue;
        if (args.size() != operation.arguments)
            return status(parameterError);
        if (operation.needsDirectory) {
            if (!isSetUp)
                return status(notSetUp);
            if (credentials.useKeytab && !Kerberos::haveFreshTickets())
                Kerberos::obtainTickets(credentials.principal);
        }
        return operation.run(args);
    }
    return status(parameterError);
}

Fields answer(const Fields &request)
{
    Fields args(request.begin() + 1, request.end());
    const Fields reply = run(request, args);
    wipe(args);
    return reply;
}

} // namespace

int main()
{
    // The server going away ends the helper at its next read or write, never by a signal.
    std::signal(SIGPIPE, SIG_IGN);
    if (!Kerberos::start()) {
        std::fprintf(stderr, "ambrix-domain: Kerberos could not be set up\n");
        return 1;
    }
    Fields request;
    while (readRequest(&request)) {
        const Fields reply = answer(request);
        // Passwords do not outlive their request.
        wipe(request);
        if (!writeReply(reply))
            break;
    }
    return 0;
}
