#include "kerberos.h"

#include "platform/domain/domainwire.h"

#include <krb5.h>

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

krb5_context context = nullptr;
krb5_timestamp ticketsEnd = 0;
std::string ccacheDirectory;

// Renewed this long before the tickets run out.
const krb5_timestamp renewalMargin = 300;

// Releases what one request made, on every path.
struct Request {
    krb5_principal principal = nullptr;
    krb5_get_init_creds_opt *options = nullptr;
    krb5_creds creds{};
    bool haveCreds = false;

    ~Request()
    {
        if (haveCreds)
            krb5_free_cred_contents(context, &creds);
        if (options)
            krb5_get_init_creds_opt_free(context, options);
        if (principal)
            krb5_free_principal(context, principal);
    }

    krb5_error_code prepare(const std::string &name)
    {
        krb5_error_code error = krb5_parse_name(context, name.c_str(), &principal);
        if (!error)
            error = krb5_get_init_creds_opt_alloc(context, &options);
        if (error)
            return error;
        // Nothing in these tickets leaves this process.
        krb5_get_init_creds_opt_set_forwardable(options, 0);
        krb5_get_init_creds_opt_set_proxiable(options, 0);
        // A password that must be changed is a failed check, never a prompt.
        krb5_get_init_creds_opt_set_change_password_prompt(options, 0);
        return 0;
    }

    krb5_error_code withPassword(const std::string &password, const char *service)
    {
        const krb5_error_code error = krb5_get_init_creds_password(
            context, &creds, principal, password.c_str(), nullptr, nullptr, 0, service, options);
        haveCreds = error == 0;
        return error;
    }
};

std::string machineAccount()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return std::string();
    std::string name(host, std::strcspn(host, "."));
    for (char &c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name + "$";
}

void removePrivateDirectory()
{
    if (ccacheDirectory.empty())
        return;
    unlink((ccacheDirectory + "/ccache").c_str());
    unlink((ccacheDirectory + "/keytab").c_str());
    rmdir(ccacheDirectory.c_str());
}

// A directory of this process's own (mode 0700) for its credential cache and keytab.
bool makePrivateDirectory()
{
    if (!ccacheDirectory.empty())
        return true;
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ambrix-domain-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return false;
    ccacheDirectory = pattern;
    std::atexit(removePrivateDirectory);
    setenv("KRB5CCNAME", ("FILE:" + ccacheDirectory + "/ccache").c_str(), 1);
    return true;
}

} // namespace

namespace Kerberos {

bool start()
{
    return krb5_init_context(&context) == 0;
}

std::uint32_t checkPassword(const std::string &principal, const std::string &password)
{
    Request request;
    krb5_error_code error = request.prepare(principal);
    if (!error)
        error = request.withPassword(password, nullptr);
    if (error)
        return static_cast<std::uint32_t>(error);
    return static_cast<std::uint32_t>(krb5_verify_init_creds(context, &request.creds, nullptr, nullptr, nullptr, nullptr));
}

std::uint32_t changePassword(const std::string &principal, const std::string &oldPassword,
                             const std::string &newPassword)
{
    Request request;
    krb5_error_code error = request.prepare(principal);
    if (error)
        return static_cast<std::uint32_t>(error);
    krb5_get_init_creds_opt_set_tkt_life(request.options, 300);
    error = request.withPassword(oldPassword, "kadmin/changepw");
    if (error)
        return static_cast<std::uint32_t>(error);
    int result = 0;
    krb5_data resultCode{};
    krb5_data resultText{};
    error = krb5_change_password(context, &request.creds, newPassword.c_str(), &result, &resultCode, &resultText);
    krb5_free_data_contents(context, &resultCode);
    krb5_free_data_contents(context, &resultText);
    if (error)
        return static_cast<std::uint32_t>(error);
    return result == 0 ? 0 : DomainWire::passwordRefused + static_cast<std::uint32_t>(result);
}

bool useKeytab(const std::string &content)
{
    if (!makePrivateDirectory())
        return false;
    const std::string path = ccacheDirectory + "/keytab";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    close(fd);
    return done == content.size() && setenv("KRB5_KTNAME", ("FILE:" + path).c_str(), 1) == 0;
}

std::uint32_t obtainTickets(const std::string &principal)
{
    if (!makePrivateDirectory())
        return KRB5_CC_IO;
    Request request;
    krb5_error_code error = request.prepare(principal.empty() ? machineAccount() : principal);
    krb5_keytab keytab = nullptr;
    if (!error)
        error = krb5_kt_default(context, &keytab);
    if (!error) {
        error = krb5_get_init_creds_keytab(context, &request.creds, request.principal, keytab, 0, nullptr, request.options);
        request.haveCreds = error == 0;
        krb5_kt_close(context, keytab);
    }
    krb5_ccache cache = nullptr;
    if (!error)
        error = krb5_cc_default(context, &cache);
    if (!error) {
        error = krb5_cc_initialize(context, cache, request.principal);
        if (!error)
            error = krb5_cc_store_cred(context, cache, &request.creds);
        krb5_cc_close(context, cache);
    }
    if (!error)
        ticketsEnd = request.creds.times.endtime;
    return static_cast<std::uint32_t>(error);
}

bool haveFreshTickets()
{
    krb5_timestamp now = 0;
    return krb5_timeofday(context, &now) == 0 && ticketsEnd - renewalMargin > now;
}

} // namespace Kerberos
