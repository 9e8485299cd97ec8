# Install rules of the programs, under /usr in the Debian package (debian/, built by
# scripts/package); debian/ installs the unit, the account, the settings' folder, the PAM service,
# log rotation, the sample settings and the manuals. The systemd unit names
# /usr/sbin/ambrix-server, so a hand install elsewhere needs its own unit.
include(GNUInstallDirs)

install(TARGETS ambrix-server DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS ambrix-cli DESTINATION ${CMAKE_INSTALL_BINDIR})
# The server's "psexec", found through PATH: the unit puts this directory first, and nothing
# else of the host should find a program by that name.
install(TARGETS ambrix-psexec DESTINATION lib/ambrix-server/bin)
