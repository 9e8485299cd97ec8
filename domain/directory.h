#pragma once

#include "platform/domain/domainwire.h"

// The network-management calls of the helper, one per request: each takes the request's fields
// after the operation name (the first always the server) and returns the reply fields.
namespace Directory {

using Fields = DomainWire::Fields;

// Credentials for every later call; false when the library could not be set up.
bool start(const std::string &user, const std::string &password, bool useCcache);

Fields userInfo(const Fields &args);        // server, name: status, relative id, flags
Fields groupInfo(const Fields &args);       // server, name: status, relative id
Fields addUser(const Fields &args);         // server, name, password, full name
Fields deleteUser(const Fields &args);      // server, name
Fields setUser(const Fields &args);         // server, name, full name, home, profile, password
Fields setPassword(const Fields &args);     // server, name, password
Fields addGroup(const Fields &args);        // server, name
Fields deleteGroup(const Fields &args);     // server, name
Fields addMember(const Fields &args);       // server, group, user
Fields deleteMember(const Fields &args);    // server, group, user
Fields members(const Fields &args);         // server, group: status, names
Fields groups(const Fields &args);          // server, at most: status, names

} // namespace Directory
