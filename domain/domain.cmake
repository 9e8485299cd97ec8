# ambrix-domain, the helper process that alone links the network-management library and
# Kerberos: the server starts it, next to its own binary in the build tree and from
# /usr/lib/ambrix-server once installed.
find_package(PkgConfig REQUIRED)
pkg_check_modules(NETAPI REQUIRED IMPORTED_TARGET netapi)
pkg_check_modules(KRB5 REQUIRED IMPORTED_TARGET krb5)

add_executable(ambrix-domain
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/directory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kerberos.cpp)
target_include_directories(ambrix-domain PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(ambrix-domain PRIVATE PkgConfig::NETAPI PkgConfig::KRB5)
install(TARGETS ambrix-domain DESTINATION lib/ambrix-server)
