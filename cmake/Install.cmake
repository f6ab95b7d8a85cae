# What `cmake --install` puts where, and the Debian package made from it (CPack). Linux only:
# the Windows programs are portable and keep their files beside them.
include(GNUInstallDirs)

set(QUILLON_GENERATED ${CMAKE_BINARY_DIR}/install-files)
file(MAKE_DIRECTORY ${QUILLON_GENERATED})

install(TARGETS quillon-cli quillon-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The marker by which an installed copy knows to keep its files in the user's folders.
file(WRITE ${QUILLON_GENERATED}/installed "")
install(FILES ${QUILLON_GENERATED}/installed DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon)

# Man pages from the programs' own --help and --version, so they never drift.
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
  foreach(program ${man_programs})
    add_custom_command(
      OUTPUT ${QUILLON_GENERATED}/${program}.1.gz
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${HELP2MAN} --no-info --no-discard-stderr --section 1 --name "${man_name_${program}}"
              --output ${QUILLON_GENERATED}/${program}.1 $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${QUILLON_GENERATED}/${program}.1
      DEPENDS ${program}
      COMMENT "Man page of ${program}"
      VERBATIM)
    list(APPEND man_pages ${QUILLON_GENERATED}/${program}.1.gz)
  endforeach()
  add_custom_target(quillon-man-pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no man pages (scripts/setup installs it)")
endif()

if(QUILLON_QT)
  install(TARGETS quillon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/resources/quillon.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  add_custom_command(
    OUTPUT ${QUILLON_GENERATED}/icons/hicolor/256x256/apps/quillon.png
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:quillon-icons> ${QUILLON_GENERATED}/icons
    DEPENDS quillon-icons
    COMMENT "Program icons"
    VERBATIM)
  add_custom_target(quillon-icon-files ALL DEPENDS ${QUILLON_GENERATED}/icons/hicolor/256x256/apps/quillon.png)
  install(DIRECTORY ${QUILLON_GENERATED}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillon.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# bash-completion loads a command's completion by its name: the one file serves both programs.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillon-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quillon-cli)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillon-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quillon-devsim)

# Documentation: the Debian copyright file made from LICENSE, a changelog, the README, the
# examples (the boot program is a stand-in for the simulated device) and the udev example.
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/quillon)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX REPLACE "^MIT License\n\n([^\n]*)\n\n" "" license_text "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" license_text "${license_text}")
file(WRITE ${QUILLON_GENERATED}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: quillon\n\n"
     "Files: *\nCopyright: 2026 The Quillon authors\nLicense: Expat\n\n"
     "License: Expat\n ${license_text}")
file(WRITE ${QUILLON_GENERATED}/changelog
     "quillon (${QUILLON_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${QUILLON_VERSION}.\n\n"
     " -- The Quillon authors <quillon@example.org>  Mon, 07 Dec 2026 12:00:00 +0000\n")
add_custom_command(
  OUTPUT ${QUILLON_GENERATED}/changelog.gz
  COMMAND gzip -9nc ${QUILLON_GENERATED}/changelog > ${QUILLON_GENERATED}/changelog.gz
  DEPENDS ${QUILLON_GENERATED}/changelog)
add_custom_target(quillon-changelog ALL DEPENDS ${QUILLON_GENERATED}/changelog.gz)
install(FILES ${QUILLON_GENERATED}/copyright ${QUILLON_GENERATED}/changelog.gz DESTINATION ${docdir})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${docdir})
install(FILES ${PROJECT_SOURCE_DIR}/examples/update.mot ${PROJECT_SOURCE_DIR}/examples/nivaload.sub
              ${PROJECT_SOURCE_DIR}/packaging/60-quillon-serial-adapters.rules
        DESTINATION ${docdir}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${QUILLON_VERSION})
set(CPACK_PACKAGE_CONTACT "The Quillon authors <quillon@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rewrite the flash of H8S devices over a serial port")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Quillon loads a boot program and an update file (Motorola S-records),\n"
       "takes a Renesas H8S microcontroller through its on-chip boot mode and\n"
       "writes the update into its flash. The package holds the desktop program\n"
       "(Qt), quillon-cli for terminals and production lines (several devices at\n"
       "once, JSON output, a doctor for ports that will not open) and\n"
       "quillon-devsim, a simulated device.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/quillon")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR OFF)
include(CPack)
