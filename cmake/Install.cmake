# Installation and the Debian package.
#
# `cmake --install` puts the programs in bin/, the example image in share/sorbel/ (where an
# installed copy looks for its default HEX file), and, with the desktop program, its desktop
# entry, icons (hicolor 48x48 PNG and scalable SVG) and AppStream metainfo; the manual pages
# of sorbel-cli and sorbel-target go to share/man/man1 compressed. `cpack` builds the .deb
# (prefix /usr), its dependencies worked out by dpkg-shlibdeps. When the validators are
# installed, ctest checks the desktop entry, the metainfo and the manual pages.
include(GNUInstallDirs)

set(SORBEL_APP_ID org.sorbel.sorbel)
set(SORBEL_RELEASE_DATE 2026-12-11)

# Programs.
foreach(program sorbel sorbel-cli sorbel-target)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/resources/sample.hex
        DESTINATION ${CMAKE_INSTALL_DATADIR}/sorbel)

# Desktop integration, with the desktop program only.
set(sorbel_desktop_file ${PROJECT_SOURCE_DIR}/resources/${SORBEL_APP_ID}.desktop)
set(sorbel_metainfo_file ${PROJECT_BINARY_DIR}/share/${SORBEL_APP_ID}.metainfo.xml)
configure_file(${PROJECT_SOURCE_DIR}/resources/${SORBEL_APP_ID}.metainfo.xml.in
               ${sorbel_metainfo_file} @ONLY)
if(TARGET sorbel)
    install(FILES ${sorbel_desktop_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${sorbel_metainfo_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    # F1 opens the help page named after the program, in the share folder once installed.
    install(FILES ${PROJECT_SOURCE_DIR}/resources/sorbel.html
            DESTINATION ${CMAKE_INSTALL_DATADIR}/sorbel)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/sorbel-48.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps RENAME sorbel.png)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/sorbel.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# Manual pages: the version filled in, compressed as Debian wants them.
find_program(SORBEL_GZIP gzip REQUIRED)
set(sorbel_man_pages)
foreach(page sorbel-cli sorbel-target)
    if(NOT TARGET ${page})
        continue()
    endif()
    set(source ${PROJECT_BINARY_DIR}/man/${page}.1)
    configure_file(${PROJECT_SOURCE_DIR}/resources/${page}.1.in ${source} @ONLY)
    add_custom_command(OUTPUT ${source}.gz
                       COMMAND ${SORBEL_GZIP} -9nc ${source} > ${source}.gz
                       DEPENDS ${source} ${PROJECT_SOURCE_DIR}/resources/${page}.1.in
                       COMMENT "Compressing the manual page ${page}.1"
                       VERBATIM)
    list(APPEND sorbel_man_pages ${source}.gz)
endforeach()
if(sorbel_man_pages)
    add_custom_target(sorbel_man_pages ALL DEPENDS ${sorbel_man_pages})
    install(FILES ${sorbel_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Checks of the files above, where the validators are installed.
if(SORBEL_BUILD_TESTS)
    find_program(SORBEL_DESKTOP_FILE_VALIDATE desktop-file-validate)
    find_program(SORBEL_APPSTREAMCLI appstreamcli)
    find_program(SORBEL_MAN man)
    if(TARGET sorbel AND SORBEL_DESKTOP_FILE_VALIDATE)
        add_test(NAME Install.DesktopEntryIsValid
                 COMMAND ${SORBEL_DESKTOP_FILE_VALIDATE} ${sorbel_desktop_file})
    endif()
    if(TARGET sorbel AND SORBEL_APPSTREAMCLI)
        add_test(NAME Install.MetainfoIsValid
                 COMMAND ${SORBEL_APPSTREAMCLI} validate --no-net ${sorbel_metainfo_file})
    endif()
    if(SORBEL_MAN)
        foreach(page ${sorbel_man_pages})
            get_filename_component(name ${page} NAME)
            # man prints the page on stdout and roff's warnings on stderr: no warning passes.
            add_test(NAME Install.ManPage.${name}
                     COMMAND sh -c "out=$(MANWIDTH=80 \"$1\" --warnings -l \"$2\" 2>&1 >/dev/null) && test -z \"$out\" || { echo \"$out\"; exit 1; }"
                             sh ${SORBEL_MAN} ${page})
        endforeach()
    endif()
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sorbel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "SORBEL")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial flash programmer for microcontrollers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "SORBEL developers <sorbel@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "serial flash programmer for microcontrollers
 SORBEL downloads an Intel HEX file into the flash memory of a microcontroller
 through the serial loader resident on the chip: mass or page erase, program,
 verify and run.
 .
 The package holds the desktop program sorbel, the command-line twin
 sorbel-cli and the simulated target loader sorbel-target.")
# Library dependencies from the programs themselves (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
if(TARGET sorbel)
    # The display plugins of Qt and the owner of the icon folders: wanted, not required,
    # so that the command-line programs install on a machine without a desktop.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, hicolor-icon-theme")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
