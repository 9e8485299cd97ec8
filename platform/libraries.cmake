# System libraries of the platform layer: PAM for password checks, libacl for access lists.
find_library(PAM_LIBRARY pam REQUIRED)
find_library(ACL_LIBRARY acl REQUIRED)
target_link_libraries(ambrix PUBLIC ${PAM_LIBRARY} ${ACL_LIBRARY})
# The MariaDB client library, the one Qt's MySQL driver loads: for checks on the driver's
# connections that Qt does not offer.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MARIADB_CLIENT REQUIRED IMPORTED_TARGET libmariadb)
target_link_libraries(ambrix PUBLIC PkgConfig::MARIADB_CLIENT)
