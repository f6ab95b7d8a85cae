# What `cmake --install` puts where, and the two Debian packages made from it (CPack): the
# component `cli` is quillon-cli (the command line, the simulated device, no Qt), `desktop` is
# quillon (the desktop program, which needs quillon-cli). Linux only: the Windows programs
# come from scripts/package-windows.
include(GNUInstallDirs)

set(QUILLON_GENERATED ${CMAKE_BINARY_DIR}/install-files)
file(MAKE_DIRECTORY ${QUILLON_GENERATED})

install(TARGETS quillon-cli quillon-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
# The marker by which an installed copy knows to keep its files in the user's folders.
file(WRITE ${QUILLON_GENERATED}/installed "")
install(FILES ${QUILLON_GENERATED}/installed DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon COMPONENT cli)

# Man pages from the programs' own --help and --version, so they never drift, with the
# hand-written sections of packaging/<program>.h2m. help2man runs a copy laid out as an
# installed one, so the defaults --help names are the installed program's.
find_program(HELP2MAN help2man)
set(man_programs quillon-cli quillon-devsim)
if(QUILLON_QT)
  list(APPEND man_programs quillon)
endif()
set(man_pages "")
if(HELP2MAN)
  set(man_name_quillon "rewrite the flash of an H8S device over a serial port (desktop program)")
  set(man_name_quillon-cli "rewrite the flash of H8S devices over serial ports, from scripts and production lines")
  set(man_name_quillon-devsim "a simulated H8S device in boot mode on a pseudo-terminal")
  set(man_stage ${QUILLON_GENERATED}/man-stage)
  file(WRITE ${man_stage}/share/quillon/installed "")
  foreach(program ${man_programs})
    add_custom_command(
      OUTPUT ${QUILLON_GENERATED}/${program}.1.gz
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${man_stage}/bin/${program}
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${PROJECT_SOURCE_DIR}/packaging/make-man-page ${man_stage}/bin/${program}
              ${QUILLON_GENERATED}/${program}.1.gz "${man_name_${program}}"
              ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/packaging/make-man-page ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
      COMMENT "Man page of ${program}"
      VERBATIM)
    list(APPEND man_pages ${QUILLON_GENERATED}/${program}.1.gz)
  endforeach()
  add_custom_target(quillon-man-pages ALL DEPENDS ${man_pages})
  foreach(page ${man_pages})
    get_filename_component(page_name ${page} NAME)
    if(page_name STREQUAL "quillon.1.gz")
      install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
    else()
      install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
    endif()
  endforeach()
else()
  message(STATUS "help2man not found: no man pages (scripts/setup installs it)")
endif()

if(QUILLON_QT)
  install(TARGETS quillon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/quillon.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT desktop)
  add_custom_command(
    OUTPUT ${QUILLON_GENERATED}/icons/hicolor/256x256/apps/quillon.png
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:quillon-icons> ${QUILLON_GENERATED}/icons
    DEPENDS quillon-icons
    COMMENT "Program icons"
    VERBATIM)
  add_custom_target(quillon-icon-files ALL DEPENDS ${QUILLON_GENERATED}/icons/hicolor/256x256/apps/quillon.png)
  install(DIRECTORY ${QUILLON_GENERATED}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillon.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
          COMPONENT desktop)
endif()

# bash-completion loads a command's completion by its name: the one file serves both programs.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillon-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quillon-cli COMPONENT cli)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillon-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quillon-devsim COMPONENT cli)

# Documentation: each package has its own folder with the Debian copyright file made from
# LICENSE and a changelog; quillon-cli's also holds the README, the quick start, the examples
# (the boot program is a stand-in for the simulated device) and the udev example.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX REPLACE "^MIT License\n\n([^\n]*)\n\n" "" license_text "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" license_text "${license_text}")
file(WRITE ${QUILLON_GENERATED}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: quillon\n\n"
     "Files: *\nCopyright: 2026 The Quillon authors\nLicense: Expat\n\n"
     "License: Expat\n ${license_text}")
set(package_docs "")
foreach(package quillon-cli quillon)
  file(WRITE ${QUILLON_GENERATED}/${package}/changelog
       "${package} (${QUILLON_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${QUILLON_VERSION}.\n\n"
       " -- The Quillon authors <quillon@example.org>  Mon, 07 Dec 2026 12:00:00 +0000\n")
  add_custom_command(
    OUTPUT ${QUILLON_GENERATED}/${package}/changelog.gz
    COMMAND gzip -9nc ${QUILLON_GENERATED}/${package}/changelog > ${QUILLON_GENERATED}/${package}/changelog.gz
    DEPENDS ${QUILLON_GENERATED}/${package}/changelog)
  list(APPEND package_docs ${QUILLON_GENERATED}/${package}/changelog.gz)
endforeach()
# The README for the people who use the installed programs: without the passages for the
# project's developers (the scripts, the build tree, the pictures the package does not hold).
add_custom_command(
  OUTPUT ${QUILLON_GENERATED}/README.md
  COMMAND sed -f ${PROJECT_SOURCE_DIR}/packaging/user-readme.sed ${PROJECT_SOURCE_DIR}/README.md > ${QUILLON_GENERATED}/README.md
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/user-readme.sed)
list(APPEND package_docs ${QUILLON_GENERATED}/README.md)
add_custom_target(quillon-changelog ALL DEPENDS ${package_docs})
set(cli_docdir ${CMAKE_INSTALL_DATADIR}/doc/quillon-cli)
install(FILES ${QUILLON_GENERATED}/copyright ${QUILLON_GENERATED}/quillon-cli/changelog.gz
              ${QUILLON_GENERATED}/README.md ${PROJECT_SOURCE_DIR}/packaging/README.Debian
        DESTINATION ${cli_docdir} COMPONENT cli)
install(FILES ${PROJECT_SOURCE_DIR}/examples/update.mot ${PROJECT_SOURCE_DIR}/examples/nivaload.sub
              ${PROJECT_SOURCE_DIR}/packaging/60-quillon-serial-adapters.rules
        DESTINATION ${cli_docdir}/examples COMPONENT cli)
# A station started with the computer: the systemd template unit, and the user it runs as
# (made by systemd-sysusers when the package is configured).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillon-station@.service DESTINATION lib/systemd/system COMPONENT cli)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillon-cli.sysusers DESTINATION lib/sysusers.d RENAME quillon-cli.conf
        COMPONENT cli)
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/quillon-cli/postinst)
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(QUILLON_QT)
  install(FILES ${QUILLON_GENERATED}/copyright ${QUILLON_GENERATED}/quillon/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillon COMPONENT desktop)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(QUILLON_QT)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${QUILLON_VERSION})
set(CPACK_PACKAGE_CONTACT "The Quillon authors <quillon@example.org>")
set(CPACK_DEBIAN_CLI_PACKAGE_NAME quillon-cli)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME quillon)
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "rewrite the flash of H8S devices over serial ports, from a terminal\n"
    "Quillon loads a boot program and an update file (Motorola S-records),\n"
    "takes a Renesas H8S microcontroller through its on-chip boot mode and\n"
    "writes the update into its flash. This package holds quillon-cli for\n"
    "terminals, scripts and production lines (several devices at once, JSON\n"
    "output, a production station with run records, a doctor for ports that\n"
    "will not open) and quillon-devsim, a simulated device to try it on.")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
    "rewrite the flash of H8S devices over a serial port (desktop program)\n"
    "Quillon loads a boot program and an update file (Motorola S-records),\n"
    "takes a Renesas H8S microcontroller through its on-chip boot mode and\n"
    "writes the update into its flash. This package holds the desktop\n"
    "program (Qt): pick the update file and the port, press the send button.\n"
    "It shares its settings file and failure log with quillon-cli.")
string(REPLACE ";" "" CPACK_DEBIAN_CLI_DESCRIPTION "${CPACK_DEBIAN_CLI_DESCRIPTION}")
string(REPLACE ";" "" CPACK_DEBIAN_DESKTOP_DESCRIPTION "${CPACK_DEBIAN_DESKTOP_DESCRIPTION}")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "quillon-cli (= ${QUILLON_VERSION})")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/quillon")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR OFF)
include(CPack)
