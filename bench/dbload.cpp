#include "dbload.h"

#include "closedloop.h"

#include <mysql.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// The library keeps per-thread state: every client thread registers and releases it.
class LibraryThread
{
public:
    LibraryThread() { mysql_thread_init(); }
    ~LibraryThread() { mysql_thread_end(); }
};

class Connection
{
public:
    ~Connection() { close(); }

    bool open(const LoadOptions &o, std::string *error)
    {
        close();
        handle = mysql_init(nullptr);
        unsigned int timeout = unsigned(o.timeoutSeconds);
        mysql_options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        mysql_options(handle, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        if (!mysql_real_connect(handle, o.host.c_str(), o.dbUser.c_str(), o.dbPassword.c_str(),
                                o.dbName.c_str(), unsigned(o.dbPort ? o.dbPort : o.port), nullptr, 0)) {
            *error = std::string("connect: ") + mysql_error(handle);
            close();
            return false;
        }
        if (o.connectLikeQtDriver && !followLikeQtDriver(o, error)) {
            close();
            return false;
        }
        return true;
    }

    void close()
    {
        if (handle)
            mysql_close(handle);
        handle = nullptr;
    }

    // The first column of every row, as text.
    bool selectColumn(const std::string &sql, std::vector<std::string> *values, std::string *error)
    {
        if (mysql_real_query(handle, sql.data(), sql.size()) != 0) {
            *error = std::string("query: ") + mysql_error(handle);
            return false;
        }
        MYSQL_RES *result = mysql_store_result(handle);
        if (!result) {
            *error = std::string("result: ") + mysql_error(handle);
            return false;
        }
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            const unsigned long *lengths = mysql_fetch_lengths(result);
            values->emplace_back(row[0] ? std::string(row[0], lengths[0]) : std::string());
        }
        mysql_free_result(result);
        return true;
    }

private:
    // What Qt's driver sends after the handshake (as MariaDB's general log shows it): the
    // database again, the character set, and a trial prepared statement.
    bool followLikeQtDriver(const LoadOptions &o, std::string *error)
    {
        if (mysql_select_db(handle, o.dbName.c_str()) != 0 || mysql_set_character_set(handle, "utf8") != 0) {
            *error = std::string("driver set-up: ") + mysql_error(handle);
            return false;
        }
        MYSQL_STMT *statement = mysql_stmt_init(handle);
        const char trial[] = "SELECT ? + ?";
        const bool prepared = statement && mysql_stmt_prepare(statement, trial, sizeof trial - 1) == 0;
        if (statement)
            mysql_stmt_close(statement);
        if (!prepared)
            *error = std::string("driver trial statement: ") + mysql_error(handle);
        return prepared;
    }

    MYSQL *handle = nullptr;
};

// The user's applications: directly, through the user's groups and their application groups,
// and through the user's own application groups; first occurrence kept, joined with ",".
bool gatherPermittedApplications(Connection &db, const std::string &user, std::string *reply,
                                 std::string *error)
{
    std::vector<std::string> ids, groups, ownApplicationGroups;
    const std::string quotedUser = "'" + user + "'";
    auto addApplicationsOfGroups = [&](const std::vector<std::string> &applicationGroups) {
        for (const std::string &a : applicationGroups) {
            if (!db.selectColumn("SELECT application_id FROM ax_applicationgroup_applications WHERE applicationgroup_id='"
                                     + a + "'", &ids, error))
                return false;
        }
        return true;
    };
    if (!db.selectColumn("SELECT application_id FROM ax_application_users WHERE user_id=" + quotedUser, &ids, error)
        || !db.selectColumn("SELECT usergroup_id FROM ax_usergroup_users WHERE user_id=" + quotedUser, &groups, error))
        return false;
    for (const std::string &group : groups) {
        std::vector<std::string> applicationGroups;
        if (!db.selectColumn("SELECT application_id FROM ax_application_usergroups WHERE usergroup_id='" + group + "'", &ids, error)
            || !db.selectColumn("SELECT applicationgroup_id FROM ax_usergroup_applicationgroups WHERE usergroup_id='" + group + "'",
                                &applicationGroups, error)
            || !addApplicationsOfGroups(applicationGroups))
            return false;
    }
    if (!db.selectColumn("SELECT applicationgroup_id FROM ax_user_applicationgroups WHERE user_id=" + quotedUser,
                         &ownApplicationGroups, error)
        || !addApplicationsOfGroups(ownApplicationGroups))
        return false;
    reply->clear();
    std::vector<std::string> seen;
    for (const std::string &id : ids) {
        if (std::find(seen.begin(), seen.end(), id) != seen.end())
            continue;
        seen.push_back(id);
        if (!reply->empty())
            *reply += ',';
        *reply += id;
    }
    return true;
}

class PermittedApplicationsWork : public SameAnswerWork
{
public:
    explicit PermittedApplicationsWork(const LoadOptions &o) : o(o) {}

    bool setUp(std::string *error) override
    {
        if (!db.open(o, error) || !gatherPermittedApplications(db, o.catalogueUser, &firstAnswer, error))
            return false;
        if (!o.expect.empty() && firstAnswer != o.expect) {
            *error = "gathered " + firstAnswer + ", expected " + o.expect;
            return false;
        }
        return true;
    }

    bool runOnce(std::string *error) override
    {
        return gatherPermittedApplications(db, o.catalogueUser, &answer, error) && isFirstAnswer(error);
    }

private:
    const LoadOptions &o;
    LibraryThread thread;
    Connection db;
};

class ChurnWork : public ClientWork
{
public:
    explicit ChurnWork(const LoadOptions &o)
        : o(o), statement("SELECT token FROM ax_user WHERE username='" + o.catalogueUser + "'")
    {
    }

    bool setUp(std::string *) override { return true; }

    bool runOnce(std::string *error) override
    {
        Connection db;
        std::vector<std::string> tokens;
        if (!db.open(o, error) || !db.selectColumn(statement, &tokens, error))
            return false;
        if (tokens.empty()) {
            *error = "no token for " + o.catalogueUser;
            return false;
        }
        return true;
    }

private:
    const LoadOptions &o;
    LibraryThread thread;
    const std::string statement;
};

} // namespace

namespace DbLoad {

long long countConnections(const LoadOptions &o)
{
    LibraryThread thread;
    Connection db;
    std::string error;
    std::vector<std::string> count;
    // Without the PROCESS privilege a user sees exactly its own connections.
    if (!db.open(o, &error)
        || !db.selectColumn("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID <> CONNECTION_ID()",
                            &count, &error)
        || count.empty())
        return -1;
    return std::atoll(count.front().c_str());
}

void initialiseLibrary()
{
    mysql_library_init(0, nullptr, nullptr);
}

int runPermittedApplications(const LoadOptions &o)
{
    return measureClosedLoop<PermittedApplicationsWork>("db-statements", o);
}

int runChurn(const LoadOptions &o)
{
    return measureClosedLoop<ChurnWork>("db-churn", o);
}

} // namespace DbLoad
