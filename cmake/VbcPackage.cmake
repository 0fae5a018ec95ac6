# Installation and the Debian package (scripts/package.sh): the three programs, a desktop entry
# and an icon for vbcflash, the example flash.txt, and a man page for each program made from
# its --help by help2man. Dependencies are computed from the binaries (dpkg-shlibdeps).
include(GNUInstallDirs)

set(VBC_PROGRAMS vbcflash-cli)
foreach(program vbcflash-station vbcflash-report vbcsim vbcflash)
    if(TARGET ${program})
        list(APPEND VBC_PROGRAMS ${program})
    endif()
endforeach()
install(TARGETS ${VBC_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(TARGET vbcflash)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/vbcflash.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/vbcflash.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/examples/flash.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

option(VBC_MAN_PAGES "Make the man pages of the programs (needs help2man)" OFF)
if(VBC_MAN_PAGES)
    find_program(VBC_HELP2MAN help2man)
    find_program(VBC_GZIP gzip)
    if(NOT VBC_HELP2MAN OR NOT VBC_GZIP)
        message(FATAL_ERROR "Missing Debian package help2man (for the man pages): run scripts/deps.sh")
    endif()
    set(VBC_MAN_NAME_vbcflash-cli "write software into a VBC4410 phone's flash from the command line")
    set(VBC_MAN_NAME_vbcflash-station "flash a phone on each of several ports at once and log every phone")
    set(VBC_MAN_NAME_vbcflash-report "report what the stations recorded: summaries, a unit's history, CSV")
    set(VBC_MAN_NAME_vbcsim "a simulated VBC4410 phone on a pseudo-terminal")
    set(VBC_MAN_NAME_vbcflash "write software into a VBC4410 phone's flash, on a window")
    set(pages)
    foreach(program ${VBC_PROGRAMS})
        set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
        add_custom_command(
            OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND ${VBC_HELP2MAN} --no-info --section=1 "--name=${VBC_MAN_NAME_${program}}"
                    --output=${CMAKE_BINARY_DIR}/man/${program}.1 $<TARGET_FILE:${program}>
            COMMAND ${VBC_GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${program}.1
            DEPENDS ${program}
            COMMENT "Man page of ${program}"
            VERBATIM)
        list(APPEND pages ${page})
    endforeach()
    add_custom_target(vbc_man_pages ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vbcflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vbcflash developers <vbcflash@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "writes software into the flash memory of VBC4410 phones over a serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "vbcflash boots a VBC4410 phone through its ROM boot loader, identifies its flash against
flash.txt and writes a software file sector by sector, with checksums and retries.
It has a desktop program (vbcflash), a command-line program for scripts and production
(vbcflash-cli) and a simulated phone for tests and demonstrations (vbcsim).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
