# Install layout and the Debian package.
set(WATCH_UNIT_DIR /lib/systemd/system CACHE PATH "Where the systemd unit goes")
set(WATCH_MAN_DIR /usr/share/man/man8 CACHE PATH "Where the man page goes")
set(WATCH_DOC_DIR /usr/share/doc/quorin-watch-daemon CACHE PATH "Where the copyright goes")
set(WATCH_LINTIAN_DIR /usr/share/lintian/overrides CACHE PATH "Where the lintian overrides go")
set(WATCH_SHARE_DIR /usr/share/quorin-watch-daemon CACHE PATH "Where the Prometheus alert rules go")
set(WATCH_LOGROTATE_DIR /etc/logrotate.d CACHE PATH "Where the run file's logrotate snippet goes")

set(WATCH_INSTALL_DIR ${CMAKE_INSTALL_PREFIX})
# The units, the manual pages and the logrotate snippet name the install
# directory: each is made for the one this tree installs to.
foreach(file watch_daemon.service watch_daemon_metrics.service watch_daemon.8 watch_status.8 watch_daemon.logrotate)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${file}.in ${CMAKE_BINARY_DIR}/${file} @ONLY)
endforeach()

# Debian ships manual pages compressed, without time stamps.
foreach(page watch_daemon watch_status)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/${page}.8.gz
    COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/${page}.8 > ${CMAKE_BINARY_DIR}/${page}.8.gz
    DEPENDS ${CMAKE_BINARY_DIR}/${page}.8)
endforeach()
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/changelog.Debian.gz
  COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.Debian.gz
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(package_docs ALL
  DEPENDS ${CMAKE_BINARY_DIR}/watch_daemon.8.gz ${CMAKE_BINARY_DIR}/watch_status.8.gz
          ${CMAKE_BINARY_DIR}/changelog.Debian.gz)

# dpkg keeps an operator's edits of the configuration and of the rotation
# across upgrades.
file(WRITE ${CMAKE_BINARY_DIR}/conffiles
     "${CMAKE_INSTALL_PREFIX}/config\n${WATCH_LOGROTATE_DIR}/quorin-watch-daemon\n")
# The first release that re-executes on a reload: a fixed fact, not this
# release's version (which every later release would raise past its own).
set(WATCH_RELOAD_SINCE 3.9.47-2)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${script}.sh ${CMAKE_BINARY_DIR}/maint/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()

# The units, the manual pages and the rotation name the directory chosen at
# configure time: installed under another prefix, they would start another.
install(CODE "
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    message(FATAL_ERROR \"configured for ${CMAKE_INSTALL_PREFIX}: to install into \${CMAKE_INSTALL_PREFIX}, \"
                        \"configure with -DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX}\")
  endif()")
# Only the binary and its configuration in the install directory: anything
# else there could be mistaken for a program.
install(TARGETS watch_daemon watch_status RUNTIME DESTINATION .)
# An edited config is the operator's: install the shipped one only where none
# is (a package is staged into an empty tree, so it always carries it).
install(CODE "
  set(config \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/config\")
  if(EXISTS \"\${config}\")
    message(STATUS \"Keeping: \${config}\")
  else()
    file(INSTALL ${CMAKE_CURRENT_LIST_DIR}/config DESTINATION \"\${CMAKE_INSTALL_PREFIX}\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()")
install(FILES ${CMAKE_BINARY_DIR}/watch_daemon.service ${CMAKE_BINARY_DIR}/watch_daemon_metrics.service
              ${CMAKE_CURRENT_LIST_DIR}/watch_daemon_metrics.timer DESTINATION ${WATCH_UNIT_DIR})
install(FILES ${CMAKE_BINARY_DIR}/watch_daemon.8.gz ${CMAKE_BINARY_DIR}/watch_status.8.gz
        DESTINATION ${WATCH_MAN_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
        DESTINATION ${WATCH_DOC_DIR})
# The two tags lintian gives any package that ships in /opt by design.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION ${WATCH_LINTIAN_DIR}
        RENAME quorin-watch-daemon)
# For the operator's Prometheus to include: alerts on watch_status' metrics.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/watch_daemon.rules.yml DESTINATION ${WATCH_SHARE_DIR})
# The run file grows by a line per end: rotated weekly, or past 10 MiB.
install(FILES ${CMAKE_BINARY_DIR}/watch_daemon.logrotate DESTINATION ${WATCH_LOGROTATE_DIR}
        RENAME quorin-watch-daemon)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorin-watch-daemon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The second package of 3.9.47: its supervisor re-executes itself on a
# reload, which the postinst then uses on upgrades from this version on.
set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
set(CPACK_PACKAGE_CONTACT "Quorin DPI team <dpi@quorin.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "supervisor of the Quorin DPI programs")
set(CPACK_PACKAGE_DESCRIPTION "watch_daemon keeps the Quorin DPI engine running from its
install directory, records every end of a supervised program, restarts it
with a crash back-off, and installs the upgrade packages the engine leaves.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries (libc, libcjson1, libstdc++) come from dpkg-shlibdeps; the
# tools it runs are named here: killall, tar with gzip, and rm. The
# maintainer scripts install the unit without enabling or starting it (the
# operator decides when the engine runs), stop it on removal, and disable it
# and remove the supervisor's state on purge.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "psmisc, tar (>= 1.29), gzip (>= 1.6), coreutils (>= 8.26)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/conffiles ${CMAKE_BINARY_DIR}/maint/postinst
    ${CMAKE_BINARY_DIR}/maint/prerm ${CMAKE_BINARY_DIR}/maint/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
