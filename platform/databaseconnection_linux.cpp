#include "platform/databaseconnection.h"

#include <mysql.h>
#include <poll.h>

#include <cstring>
#include <vector>

namespace {

// Client-side codes of the library, for the failures found here: none ends the connection.
constexpr int UnknownError = 2000;
constexpr int ParametersNotBound = 2031;

MYSQL *clientOf(const QVariant &handle)
{
    if (!handle.isValid() || std::strcmp(handle.typeName(), "MYSQL*") != 0)
        return nullptr;
    return *static_cast<MYSQL *const *>(handle.constData());
}

} // namespace

namespace DatabaseConnection {

bool looksAlive(const QVariant &driverHandle)
{
    MYSQL *client = clientOf(driverHandle);
    if (!client)
        return false;
    const my_socket socket = mysql_get_socket(client);
    if (socket < 0)
        return false;
    // Between statements the server never speaks first: anything to read is a close or the
    // error packet that precedes one.
    pollfd p{socket, POLLIN | POLLRDHUP, 0};
    const int n = ::poll(&p, 1, 0);
    return n == 0;
}

PreparedSelect::PreparedSelect(const QVariant &driverHandle, const QByteArray &sql)
{
    MYSQL *mysql = clientOf(driverHandle);
    if (!mysql) {
        code = UnknownError;
        return;
    }
    MYSQL_STMT *stmt = mysql_stmt_init(mysql);
    if (!stmt) {
        code = int(mysql_errno(mysql));
        text = QString::fromUtf8(mysql_error(mysql));
        return;
    }
    statement = stmt;
    if (mysql_stmt_prepare(stmt, sql.constData(), sql.size()) != 0 || mysql_stmt_field_count(stmt) == 0) {
        fail();
        mysql_stmt_close(stmt);
        statement = nullptr;
    }
}

PreparedSelect::~PreparedSelect()
{
    if (statement)
        mysql_stmt_close(static_cast<MYSQL_STMT *>(statement));
}

void PreparedSelect::fail()
{
    MYSQL_STMT *stmt = static_cast<MYSQL_STMT *>(statement);
    code = int(mysql_stmt_errno(stmt));
    text = QString::fromUtf8(mysql_stmt_error(stmt));
    if (code == 0) {
        code = UnknownError; // a text that selects nothing
        text = QStringLiteral("not a select");
    }
}

bool PreparedSelect::run(const QStringList &values, QStringList *firstColumn)
{
    MYSQL_STMT *stmt = static_cast<MYSQL_STMT *>(statement);
    if (!stmt)
        return false;
    if (mysql_stmt_param_count(stmt) != unsigned(values.size())) {
        code = ParametersNotBound;
        text = QStringLiteral("placeholders and values differ in number");
        return false;
    }
    std::vector<QByteArray> bytes;
    bytes.reserve(values.size());
    std::vector<MYSQL_BIND> params(values.size());
    for (int i = 0; i < values.size(); ++i) {
        bytes.push_back(values.at(i).toUtf8());
        params[i].buffer_type = MYSQL_TYPE_STRING;
        params[i].buffer = const_cast<char *>(bytes.back().constData());
        params[i].buffer_length = static_cast<unsigned long>(bytes.back().size());
    }
    if ((!params.empty() && mysql_stmt_bind_param(stmt, params.data())) || mysql_stmt_execute(stmt)) {
        fail();
        return false;
    }
    // Rows are read as they arrive; a value longer than the buffer is fetched again whole.
    char buffer[256];
    unsigned long length = 0;
    my_bool isNull = 0;
    MYSQL_BIND result{};
    result.buffer_type = MYSQL_TYPE_STRING;
    result.buffer = buffer;
    result.buffer_length = sizeof buffer;
    result.length = &length;
    result.is_null = &isNull;
    // Only the first column is read.
    std::vector<MYSQL_BIND> results(mysql_stmt_field_count(stmt));
    for (MYSQL_BIND &other : results)
        other.buffer_type = MYSQL_TYPE_NULL;
    results[0] = result;
    bool ok = mysql_stmt_bind_result(stmt, results.data()) == 0;
    QByteArray whole;
    for (int r = 0; ok && (r = mysql_stmt_fetch(stmt)) != MYSQL_NO_DATA;) {
        if (r == 1) {
            ok = false;
            break;
        }
        if (isNull) {
            firstColumn->append(QString());
            continue;
        }
        if (r != MYSQL_DATA_TRUNCATED || length <= sizeof buffer) {
            firstColumn->append(QString::fromUtf8(buffer, int(length)));
            continue;
        }
        whole.resize(int(length));
        MYSQL_BIND again{};
        again.buffer_type = MYSQL_TYPE_STRING;
        again.buffer = whole.data();
        again.buffer_length = length;
        ok = mysql_stmt_fetch_column(stmt, &again, 0, 0) == 0;
        firstColumn->append(QString::fromUtf8(whole));
    }
    if (!ok)
        fail();
    mysql_stmt_free_result(stmt);
    return ok;
}

} // namespace DatabaseConnection
