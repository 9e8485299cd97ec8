# ambrix-privileged, the part of the server that keeps root (see privileged/main.cpp): beside the
# server's binary in the build tree, in /usr/lib/ambrix-server once installed. It links Qt's core
# and the few files of the server it shares: the log and settings, the frames of its channel and
# the checks of their fields, the account database, the running of programs. Everything but its
# entry is a library of its own, which the fuzz target of its request parser links too. It alone
# of the server's two processes links libsystemd (logind's sessions).
find_package(PkgConfig REQUIRED)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
find_library(PAM_LIBRARY pam REQUIRED)
find_library(ACL_LIBRARY acl REQUIRED)
file(GLOB PRIVILEGED_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp ${CMAKE_CURRENT_LIST_DIR}/*.h)
list(FILTER PRIVILEGED_SOURCES EXCLUDE REGEX "/privileged/main\\.cpp$")
add_library(ambrix-privileged-side STATIC ${PRIVILEGED_SOURCES}
  base/log.cpp base/settings.cpp
  platform/accountdatabase_linux.cpp platform/fieldcheck.cpp base/filestamp_linux.cpp
  platform/framedsocket_linux.cpp platform/programs_linux.cpp platform/regularfile_linux.cpp platform/servername.cpp
  storage/axprocess.cpp storage/axprocess.h)
target_include_directories(ambrix-privileged-side PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(ambrix-privileged-side PUBLIC QT_NO_FOREACH)
target_link_libraries(ambrix-privileged-side PUBLIC Qt5::Core Threads::Threads ${PAM_LIBRARY} ${ACL_LIBRARY}
  PkgConfig::SYSTEMD)

add_executable(ambrix-privileged ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(ambrix-privileged PRIVATE ambrix-privileged-side)
install(TARGETS ambrix-privileged DESTINATION lib/ambrix-server)
