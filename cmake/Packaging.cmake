# Installation layout and the Debian package of both programs.
include(GNUInstallDirs)

# The diagnostic needs privilege to do its job: an administrator's command.
install(TARGETS outsb RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS vuart RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/outsb.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/vuart.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME outsb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "outsb maintainers <maintainers@users.noreply.c-seed-8c6c743b.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial port output diagnostic and a virtual serial port to run it on")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "outsb sends hello and eleven 47-byte lines to the first serial port (I/O port 0x3F8)\n\
with the processor's out and rep outsb instructions. It is statically linked.\n\
vuart runs any x86-64 program under ptrace against a virtual 16550 UART and\n\
records the port I/O it does. The package grants no capability: see outsb(8).")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The static diagnostic needs nothing at run time; vuart's libraries are found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
