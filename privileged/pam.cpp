#include "privileged/pam.h"

#include <QMutex>
#include <QMutexLocker>
#include <QScopeGuard>

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace {

// One check at a time: each has a handle of its own, but the library logs every attempt through
// libaudit, which fills a static buffer, and modules of a host's common stack (pam_cap, for one)
// use getpwnam's static one. Without a failure delay a check takes milliseconds.
QMutex &pamLock()
{
    static QMutex *lock = new QMutex; // outlives detached connection threads at exit
    return *lock;
}

const char serviceName[] = "ambrix-server";

struct Credentials {
    QByteArray password;
};

void wipe(char *text)
{
    if (text) {
        std::memset(text, 0, std::strlen(text));
        std::free(text);
    }
}

// Answers the password prompt; any other question ends the conversation.
int converse(int count, const struct pam_message **messages, struct pam_response **responses,
             void *data)
{
    if (count <= 0)
        return PAM_CONV_ERR;
    auto *replies = static_cast<pam_response *>(std::calloc(size_t(count), sizeof(pam_response)));
    if (!replies)
        return PAM_BUF_ERR;
    const auto *credentials = static_cast<const Credentials *>(data);
    for (int i = 0; i < count; ++i) {
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            replies[i].resp = strdup(credentials->password.constData());
            if (replies[i].resp)
                break;
            [[fallthrough]];
        case PAM_PROMPT_ECHO_ON:
            for (int j = 0; j < count; ++j)
                wipe(replies[j].resp);
            std::free(replies);
            return PAM_CONV_ERR;
        default: // informational texts need no answer
            break;
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

// The caller answers at once; a refused password must not hold its connection thread for
// seconds.
void noFailureDelay(int, unsigned, void *)
{
}

bool check(const QString &user, const QString &password, bool acceptExpiredPassword)
{
    if (user.isEmpty() || password.isEmpty())
        return false;
    Credentials credentials{password.toUtf8()};
    auto wipeCopy = qScopeGuard([&credentials] { credentials.password.fill('\0'); });
    const QByteArray userName = user.toUtf8();
    // The library reads both as C strings: an embedded NUL would check a shorter name or password.
    if (credentials.password.contains('\0') || userName.contains('\0'))
        return false;
    const struct pam_conv conversation = {converse, &credentials};
    const QMutexLocker locker(&pamLock());
    pam_handle_t *handle = nullptr;
    int status = pam_start(serviceName, userName.constData(), &conversation, &handle);
    if (status != PAM_SUCCESS)
        return false;
    auto end = qScopeGuard([&] { pam_end(handle, status); });
    status = pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void *>(&noFailureDelay));
    if (status != PAM_SUCCESS)
        return false;
    status = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status != PAM_SUCCESS)
        return false;
    status = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_NEW_AUTHTOK_REQD && acceptExpiredPassword)
        status = PAM_SUCCESS;
    return status == PAM_SUCCESS;
}

} // namespace

namespace Pam {

bool checkPassword(const QString &user, const QString &password, bool acceptExpiredPassword)
{
    return check(user, password, acceptExpiredPassword);
}

} // namespace Pam
