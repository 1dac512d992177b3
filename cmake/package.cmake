# The Debian package: `cpack --config build/normal/CPackConfig.cmake` (scripts/package.sh).
# It holds one installation root under /opt/quinsward and the systemd units of the HTTP server
# and the monitor. What an installation must make for itself (the registry with its own
# administrator password, the databases, the registered script class) is made by the package's
# configure script on the target machine, never at build time: a password baked into a package
# would be the same on every machine.
set(QM_PACKAGE_ROOT /opt/quinsward)
# A staged install (DESTDIR: the package, or a distribution's packager) also places the systemd
# units where systemd finds a package's units; a plain install into a folder leaves them in share/.
# (file(INSTALL) puts DESTDIR before an absolute destination itself.)
install(CODE "if(NOT \"\$ENV{DESTDIR}\" STREQUAL \"\")
  file(INSTALL ${PROJECT_SOURCE_DIR}/support/httpd/qmhttpd.service ${PROJECT_SOURCE_DIR}/monitor/qmonmgr.service
       DESTINATION /lib/systemd/system)
endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quinsward)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "Quinsward developers <dev@quinsward.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Printer fleet management from a web browser")
set(CPACK_PACKAGE_DESCRIPTION "Management pages that read and set printer values over SNMP, \
a monitor service polling alerts, supplies and counters, a notification service and the \
administration of the suite's HTTP server.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${QM_PACKAGE_ROOT})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The suite's own libraries in bin/ are found through the programs' run path ($ORIGIN/../bin).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
