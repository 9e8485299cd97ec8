#pragma once

#include <QCoreApplication>
#include <QString>

#include <array>

class MySqlInfo;

// The servers of the platform in "ax_server": the roles a server can play, and the two
// operations that create a server's row, store its token and set its roles.
class ServerRegistry
{
    Q_DECLARE_TR_FUNCTIONS(ServerRegistry)

public:
    // A role: its flag column in "ax_server" and its entry in the settings' Server section.
    struct ServerRole {
        const char *serverType;
        const char *roleName;
    };

    // In the order registration sends or stores them.
    static constexpr std::array<ServerRole, 11> Roles{{
        {"ambrix_server", "AmbrixServer"},
        {"console_server", "ConsoleServer"},
        {"domain_server", "DomainServer"},
        {"desktop_server", "DesktopServer"},
        {"application_server", "ApplicationServer"},
        {"rdp_proxy_server", "RDPProxyServer"},
        {"web_client_server", "WebClientServer"},
        {"home_storage_server", "HomeStorageServer"},
        {"storage_server", "StorageServer"},
        {"infrastructure_server", "VirtualizationServer"},
        {"pxe_server", "PXEServer"},
    }};

    // The one attribute besides the role flags that setServerInformation accepts.
    static constexpr char OsIdAttribute[] = "os_id";
    // The operating system a registering server reports for itself.
    static constexpr int RegisteringOsId = 2;

    // Creates the row of address:port if there is none (no roles, active), then stores the token.
    static QString setServerToken(MySqlInfo *db, const QString &address, int port, const QString &token);

    // The id of the server row of address, created with only the address when there is none; 0
    // on failure. Concurrent first uses of one address create one row.
    static int serverIdForAddress(MySqlInfo *db, const QString &address);

    // Checks the token of the server at address (an empty stored token is claimed by the one
    // given) and sets one role flag or "os_id".
    static QString setServerInformation(MySqlInfo *db, const QString &token, const QString &attribute,
                                        const QString &value, const QString &address);
};
