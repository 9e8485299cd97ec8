#include "privileged/asuser.h"

#include "platform/framedsocket.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Raw system calls: they change this thread's credentials only, which in the child is the whole
// process, and they need none of the C library's locks.
bool becomeUser(const std::vector<gid_t> &groups, uid_t uid, gid_t gid)
{
    if (::syscall(SYS_setgroups, groups.size(), groups.data()) != 0 || ::syscall(SYS_setresgid, gid, gid, gid) != 0
        || ::syscall(SYS_setresuid, uid, uid, uid) != 0)
        return false;
    uid_t r, e, s;
    // No way back: root is out of reach now.
    return ::syscall(SYS_getresuid, &r, &e, &s) == 0 && r == uid && e == uid && s == uid
        && ::syscall(SYS_setresuid, 0, 0, 0) != 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

} // namespace

namespace AsUser {

Result run(const AccountDatabase::User &user, const std::function<int(int *descriptor)> &work)
{
    Result result;
    if (user.uid == 0 || user.gid == 0)
        return result;
    std::vector<gid_t> groups;
    for (const quint32 id : AccountDatabase::groupIdsOf(user))
        groups.push_back(gid_t(id));
    int channel[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0)
        return result;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        int descriptor = -1;
        int status = -1;
        if (becomeUser(groups, uid_t(user.uid), gid_t(user.gid)))
            status = work(&descriptor);
        FramedSocket::send(channel[1], {std::to_string(status)}, descriptor);
        ::_exit(0);
    }
    ::close(channel[1]);
    if (child > 0) {
        Wire::Fields answer;
        int descriptor = -1;
        if (FramedSocket::receive(channel[0], &answer, &descriptor) && answer.size() == 1) {
            result.ran = true;
            result.status = std::atoi(answer[0].c_str());
            result.descriptor = descriptor;
        } else if (descriptor >= 0) {
            ::close(descriptor);
        }
        int ignored;
        while (::waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(channel[0]);
    return result;
}

} // namespace AsUser
