# Installation layout and the Debian package: outsb, vuart, outsb-check, the
# guest image, their man pages, and a debug-symbols package beside it.
include(GNUInstallDirs)

set(OUTSB_MAINTAINER "outsb maintainers <maintainers@users.noreply.c-seed-8c6c743b.example>")
execute_process(
  COMMAND date -u -R -d "${OUTSB_RELEASE_DATE} 12:00"
  OUTPUT_VARIABLE OUTSB_RELEASE_DATE_RFC2822
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

# add_compressed_doc(TEMPLATE DESTINATION): the template with the project's
# version and date filled in, installed gzip'd, as Debian wants documentation.
set(compressed_docs)
function(add_compressed_doc template destination)
  get_filename_component(name ${template} NAME_WLE)
  set(configured ${PROJECT_BINARY_DIR}/doc/${name})
  configure_file(${template} ${configured} @ONLY)
  add_custom_command(
    OUTPUT ${configured}.gz
    COMMAND gzip -9 -n -k -f ${configured}
    DEPENDS ${configured}
    VERBATIM)
  set(compressed_docs ${compressed_docs} ${configured}.gz PARENT_SCOPE)
  install(FILES ${configured}.gz DESTINATION ${destination} COMPONENT runtime)
endfunction()

add_compressed_doc(${PROJECT_SOURCE_DIR}/man/outsb.8.in ${CMAKE_INSTALL_MANDIR}/man8)
add_compressed_doc(${PROJECT_SOURCE_DIR}/man/vuart.1.in ${CMAKE_INSTALL_MANDIR}/man1)
add_compressed_doc(${PROJECT_SOURCE_DIR}/man/outsb-check.1.in ${CMAKE_INSTALL_MANDIR}/man1)
add_compressed_doc(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_INSTALL_DOCDIR})
add_custom_target(compressed_docs ALL DEPENDS ${compressed_docs})

# install_stripped(TARGET DESTINATION): installs the target without its debug
# information, which goes to the debug-symbols package under its build ID, where
# debuggers look for it. The build tree keeps the unstripped binary.
find_program(OBJCOPY NAMES objcopy llvm-objcopy REQUIRED)
function(install_stripped target destination)
  set(stripped ${PROJECT_BINARY_DIR}/stripped/${target})
  set(symbols ${PROJECT_BINARY_DIR}/stripped/${target}.debug)
  add_custom_command(
    OUTPUT ${stripped} ${symbols}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/stripped
    COMMAND ${OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${symbols}
    COMMAND ${OBJCOPY} --strip-debug --strip-unneeded $<TARGET_FILE:${target}> ${stripped}
    DEPENDS ${target}
    VERBATIM)
  add_custom_target(${target}_stripped ALL DEPENDS ${stripped} ${symbols})
  install(PROGRAMS ${stripped} DESTINATION ${destination} COMPONENT runtime)
  install(CODE "
    execute_process(COMMAND readelf -n \"${symbols}\" OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCH \"Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)\" found \"\${notes}\")
    file(INSTALL \"${symbols}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/\${CMAKE_MATCH_1}\"
         RENAME \"\${CMAKE_MATCH_2}.debug\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)"
    COMPONENT dbgsym)
endfunction()

# The diagnostic needs privilege to do its job: an administrator's command.
install_stripped(outsb ${CMAKE_INSTALL_SBINDIR})
install_stripped(vuart ${CMAKE_INSTALL_BINDIR})
install_stripped(outsb-check ${CMAKE_INSTALL_BINDIR})
install(FILES ${OUTSB_GUEST_IMAGE} DESTINATION lib/outsb COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME outsb
        COMPONENT runtime)
# The debug symbols' documentation is the program's, as in Debian's own dbgsym packages.
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/doc\")
  file(CREATE_LINK outsb \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/doc/outsb-dbgsym\" SYMBOLIC)"
  COMPONENT dbgsym)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dbgsym)
set(CPACK_PACKAGE_NAME outsb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${OUTSB_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME outsb)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "serial port output diagnostic, virtual serial port and VMM test kit
outsb sends hello and eleven 47-byte lines to the first serial port (I/O port
0x3F8) with the processor's out and rep outsb instructions. It is statically
linked. vuart runs any x86-64 program under ptrace against a virtual 16550A
UART and records the port I/O it does. A guest image boots the diagnostic
under any virtual machine monitor, and outsb-check checks the COM1 capture.
The package grants no capability: see outsb(8).")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION admin)
# The static diagnostic needs nothing at run time; vuart's libraries are found by dpkg-shlibdeps.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_DBGSYM_PACKAGE_NAME outsb-dbgsym)
set(CPACK_COMPONENT_DBGSYM_DESCRIPTION "debug symbols for outsb")
set(CPACK_DEBIAN_DBGSYM_PACKAGE_SECTION debug)
set(CPACK_DEBIAN_DBGSYM_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_DBGSYM_PACKAGE_DEPENDS "outsb (= ${PROJECT_VERSION})")
include(CPack)
