#include "directory.h"

#include <netapi.h>

#include <cstdint>
#include <cstdlib>
#include <string>

// The library keeps one context for the process and is not reentrant: the helper calls it from
// its one thread, one request at a time. Every output pointer starts out null, because the
// library frees what it finds there on some paths, and every buffer it returns is freed here.

namespace {

const std::uint32_t normalAccountControl = 0x0010; // ACB_NORMAL
const std::uint32_t domainUsersRid = 513;        // DOMAIN_GROUP_RID_USERS
const std::uint32_t maxPreferredLength = 0xFFFFFFFFu;
const std::uint32_t parameterError = 87;         // ERROR_INVALID_PARAMETER

libnetapi_ctx *context = nullptr;

using Fields = Directory::Fields;

Fields reply(std::uint32_t status, Fields values = {})
{
    values.insert(values.begin(), std::to_string(status));
    return values;
}

// Empty texts are no value, as the account records have always been filled.
const char *orNull(const std::string &text)
{
    return text.empty() ? nullptr : text.c_str();
}

template <typename Info>
std::uint32_t setInfo(const std::string &server, const std::string &name, std::uint32_t level, Info info)
{
    std::uint32_t parameter = 0;
    return NetUserSetInfo(server.c_str(), name.c_str(), level, reinterpret_cast<std::uint8_t *>(&info), &parameter);
}

// A buffer the library allocated, freed on every path.
class Buffer
{
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer()
    {
        if (data)
            NetApiBufferFree(data);
    }
    std::uint8_t **out() { return &data; }
    void **outVoid() { return reinterpret_cast<void **>(&data); }
    template <typename T> const T *as() const { return reinterpret_cast<const T *>(data); }

private:
    std::uint8_t *data = nullptr;
};

} // namespace

namespace Directory {

bool start(const std::string &user, const std::string &password, bool useCcache)
{
    if (libnetapi_init(&context) != 0 || !context)
        return false;
    // Diagnostics of the library go to standard error only at its lowest level.
    libnetapi_set_debuglevel(context, "0");
    if (useCcache) {
        libnetapi_set_use_kerberos(context);
        return libnetapi_set_use_ccache(context) == 0;
    }
    std::string account = user;
    const std::size_t backslash = user.find('\\');
    if (backslash != std::string::npos) {
        libnetapi_set_workgroup(context, user.substr(0, backslash).c_str());
        account = user.substr(backslash + 1);
    }
    return libnetapi_set_username(context, account.c_str()) == 0
        && libnetapi_set_password(context, password.c_str()) == 0;
}

Fields userInfo(const Fields &args)
{
    Buffer buffer;
    const std::uint32_t status = NetUserGetInfo(args[0].c_str(), args[1].c_str(), 3, buffer.out());
    if (status != 0)
        return reply(status);
    const USER_INFO_3 *info = buffer.as<USER_INFO_3>();
    return reply(0, {std::to_string(info->usri3_user_id), std::to_string(info->usri3_flags)});
}

Fields groupInfo(const Fields &args)
{
    Buffer buffer;
    const std::uint32_t status = NetGroupGetInfo(args[0].c_str(), args[1].c_str(), 2, buffer.out());
    if (status != 0)
        return reply(status);
    return reply(0, {std::to_string(buffer.as<GROUP_INFO_2>()->grpi2_group_id)});
}

// The library creates accounts at level 1 only; the rest of the record follows, and a failure
// there removes the account again, so a creation is all or nothing.
Fields addUser(const Fields &args)
{
    const std::string &server = args[0];
    const std::string &name = args[1];
    USER_INFO_1 info{};
    info.usri1_name = name.c_str();
    info.usri1_password = orNull(args[2]);
    info.usri1_priv = USER_PRIV_USER;
    // The library writes these flags as the directory's account-control bits (it reads them back
    // as UF_ flags, UF_SCRIPT always set): UF_ flags here would make the account disabled with a
    // password that never expires. A normal, enabled account is all the record asks for.
    info.usri1_flags = normalAccountControl;
    std::uint32_t parameter = 0;
    std::uint32_t status = NetUserAdd(server.c_str(), 1, reinterpret_cast<std::uint8_t *>(&info), &parameter);
    if (status != 0)
        return reply(status);
    status = setInfo(server, name, 1011, USER_INFO_1011{orNull(args[3])});
    if (status == 0)
        status = setInfo(server, name, 1051, USER_INFO_1051{domainUsersRid});
    if (status != 0)
        NetUserDel(server.c_str(), name.c_str());
    return reply(status);
}

Fields deleteUser(const Fields &args)
{
    return reply(NetUserDel(args[0].c_str(), args[1].c_str()));
}

// Fields left empty stay as they are.
Fields setUser(const Fields &args)
{
    const std::string &server = args[0];
    const std::string &name = args[1];
    std::uint32_t status = 0;
    if (!args[2].empty())
        status = setInfo(server, name, 1011, USER_INFO_1011{args[2].c_str()});
    if (status == 0 && !args[3].empty())
        status = setInfo(server, name, 1006, USER_INFO_1006{args[3].c_str()});
    if (status == 0 && !args[4].empty())
        status = setInfo(server, name, 1052, USER_INFO_1052{args[4].c_str()});
    if (status == 0 && !args[5].empty())
        status = setInfo(server, name, 1003, USER_INFO_1003{args[5].c_str()});
    return reply(status);
}

Fields setPassword(const Fields &args)
{
    if (args[2].empty())
        return reply(parameterError);
    return reply(setInfo(args[0], args[1], 1003, USER_INFO_1003{args[2].c_str()}));
}

Fields addGroup(const Fields &args)
{
    GROUP_INFO_0 info{args[1].c_str()};
    std::uint32_t parameter = 0;
    return reply(NetGroupAdd(args[0].c_str(), 0, reinterpret_cast<std::uint8_t *>(&info), &parameter));
}

Fields deleteGroup(const Fields &args)
{
    return reply(NetGroupDel(args[0].c_str(), args[1].c_str()));
}

Fields addMember(const Fields &args)
{
    return reply(NetGroupAddUser(args[0].c_str(), args[1].c_str(), args[2].c_str()));
}

Fields deleteMember(const Fields &args)
{
    return reply(NetGroupDelUser(args[0].c_str(), args[1].c_str(), args[2].c_str()));
}

Fields members(const Fields &args)
{
    Buffer buffer;
    std::uint32_t read = 0;
    std::uint32_t total = 0;
    std::uint32_t resume = 0;
    const std::uint32_t status = NetGroupGetUsers(args[0].c_str(), args[1].c_str(), 0, buffer.out(),
                                                  maxPreferredLength, &read, &total, &resume);
    Fields names;
    if (status == 0 || status == ERROR_MORE_DATA) {
        for (std::uint32_t i = 0; i < read; ++i)
            names.emplace_back(buffer.as<GROUP_USERS_INFO_0>()[i].grui0_name);
    }
    return reply(status, names);
}

// One call: with more groups than asked for, the first ones and ERROR_MORE_DATA.
Fields groups(const Fields &args)
{
    const unsigned long wanted = std::strtoul(args[1].c_str(), nullptr, 10);
    Buffer buffer;
    std::uint32_t read = 0;
    const std::uint32_t status = NetQueryDisplayInformation(args[0].c_str(), 3, 0, static_cast<std::uint32_t>(wanted),
                                                            maxPreferredLength, &read, buffer.outVoid());
    Fields names;
    if (status == 0 || status == ERROR_MORE_DATA) {
        for (std::uint32_t i = 0; i < read && i < wanted; ++i)
            names.emplace_back(buffer.as<NET_DISPLAY_GROUP>()[i].grpi3_name);
    }
    return reply(status, names);
}

} // namespace Directory
