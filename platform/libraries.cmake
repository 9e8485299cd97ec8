# System libraries of the platform layer: libseccomp for the serving process's system-call filter;
# the MariaDB client library, the one Qt's MySQL driver loads, for checks on the driver's
# connections that Qt does not offer.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SECCOMP REQUIRED IMPORTED_TARGET libseccomp)
pkg_check_modules(MARIADB_CLIENT REQUIRED IMPORTED_TARGET libmariadb)
target_link_libraries(ambrix PUBLIC PkgConfig::SECCOMP PkgConfig::MARIADB_CLIENT)
# libsystemd: readiness, status and watchdog for the service manager, and the structured journal.
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(ambrix PUBLIC PkgConfig::SYSTEMD)
