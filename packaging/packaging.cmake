# Install rules and the Debian package. The package installs under /usr; the systemd unit names
# /usr/sbin/ambrix-server, so a hand install elsewhere needs its own unit.
include(GNUInstallDirs)

set(AMBRIX_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# Man pages are installed compressed, as Debian keeps them.
set(AMBRIX_MAN_PAGES)
foreach(page ambrix-server.8 ambrix-cli.1)
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${AMBRIX_PACKAGING_DIR}/${page} > ${compressed}
    DEPENDS ${AMBRIX_PACKAGING_DIR}/${page}
    VERBATIM)
  list(APPEND AMBRIX_MAN_PAGES ${compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${AMBRIX_MAN_PAGES})

install(TARGETS ambrix-server DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS ambrix-cli DESTINATION ${CMAKE_INSTALL_BINDIR})
# The server's "psexec", found through PATH: the unit puts this directory first, and nothing
# else of the host should find a program by that name.
install(TARGETS ambrix-psexec DESTINATION lib/ambrix-server/bin)
# PAM reads its services from /etc/pam.d only, whatever the prefix.
install(FILES ${AMBRIX_PACKAGING_DIR}/ambrix-server.pam DESTINATION /etc/pam.d RENAME ambrix-server)
install(FILES ${AMBRIX_PACKAGING_DIR}/ambrix-server.logrotate DESTINATION /etc/logrotate.d RENAME ambrix-server)
install(FILES ${AMBRIX_PACKAGING_DIR}/ambrix-server.service DESTINATION lib/systemd/system)
install(FILES ${AMBRIX_PACKAGING_DIR}/ambrix-server.sysusers DESTINATION lib/sysusers.d RENAME ambrix-server.conf)
# The maintainer script copies it to "/opt/Ambrix Server/" when no settings are there yet.
install(FILES ${AMBRIX_PACKAGING_DIR}/ambrix-server.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/ambrix-server)
install(FILES ${CMAKE_BINARY_DIR}/man/ambrix-server.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/SECURITY.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_BINARY_DIR}/man/ambrix-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ambrix-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Kestrova)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Ambrix platform agent: accounts, catalogue and sessions over TCP")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrova Ambrix Server team <ambrix-server@kestrova.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION "Ambrix Server runs on every server of the Ambrix application- and
desktop-delivery platform. It answers the platform's short text requests
over TCP: logins, the host's accounts, groups, profile folders and shares,
catalogue questions from the platform's MariaDB/MySQL database, uploads
and icons, and opens files in users' desktop sessions. The package also
holds ambrix-cli, a client for operators.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded or run at run time, where shlibdeps cannot see them: the Qt MySQL driver, the Samba
# "net" tool, the shadow tools (useradd, chpasswd, gpasswd, ...), pam_unix of the PAM service and
# wget, which fetches icons and logos; openssl makes the host's first TLS certificate. The launcher opens files in desktop sessions through
# xdg-utils; servers without desktops need neither, and the server's replies do not depend on it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-mysql, samba-common-bin, passwd, libpam-modules, wget, openssl")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "samba, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${AMBRIX_PACKAGING_DIR}/postinst ${AMBRIX_PACKAGING_DIR}/prerm ${AMBRIX_PACKAGING_DIR}/postrm
  ${AMBRIX_PACKAGING_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
