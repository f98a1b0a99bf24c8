# Install layout and the Debian package. Included at the end of the top-level
# CMakeLists.txt, once every target exists:
#
#   cmake --install build --prefix /usr      install by hand
#   cd build && cpack -G DEB                  build kvt-firmware-updater_<version>_<arch>.deb
#
# Every executable goes to bin/, the desktop entry and the 256 px icon to the
# places desktop environments look for them, and the flasher's man page, if
# there is one, compressed to share/man/man1/. Only what exists is installed.

include(GNUInstallDirs)

foreach(program kvt-firmware-updater kvt-flash kvt-bootloader-sim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/kvt-firmware-updater.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# An example udev rule for a flashing station's adapters.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-kvt-station.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES "${PROJECT_SOURCE_DIR}/resources/images/resources/kvt_update_icon(256x256).png"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps
        RENAME kvt-firmware-updater.png)

# Debian ships man pages compressed with gzip -9n (no name, no time stamp, so
# the package is the same from build to build).
set(KVT_FLASH_MANPAGE ${PROJECT_SOURCE_DIR}/tools/flash/kvt-flash.1)
if(TARGET kvt-flash AND EXISTS ${KVT_FLASH_MANPAGE})
    find_program(KVT_GZIP gzip)
    if(KVT_GZIP)
        set(KVT_FLASH_MANPAGE_GZ ${PROJECT_BINARY_DIR}/packaging/kvt-flash.1.gz)
        add_custom_command(OUTPUT ${KVT_FLASH_MANPAGE_GZ}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
            COMMAND ${KVT_GZIP} -9n -c ${KVT_FLASH_MANPAGE} > ${KVT_FLASH_MANPAGE_GZ}
            DEPENDS ${KVT_FLASH_MANPAGE}
            COMMENT "Compressing the kvt-flash man page"
            VERBATIM)
        add_custom_target(kvt-manpages ALL DEPENDS ${KVT_FLASH_MANPAGE_GZ})
        install(FILES ${KVT_FLASH_MANPAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
        install(FILES ${KVT_FLASH_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endif()

# --- Debian package ------------------------------------------------------------

set(KVT_PACKAGE_MAINTAINER "KVT firmware team <firmware@kvt.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvt-firmware-updater)
set(CPACK_PACKAGE_VENDOR "KVT")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KVT_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for KVT devices over a serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "Sends a .kvt firmware image to a device's bootloader over a serial port: two\n"
    "command frames restart the device into its bootloader, then the image goes\n"
    "across as one YMODEM-1K transfer at 115200 baud.\n"
    "\n"
    "The package holds the desktop updater (kvt-firmware-updater), the command-line\n"
    "flasher (kvt-flash) and a simulated bootloader on a pseudo-terminal for trying\n"
    "both without a device (kvt-bootloader-sim).")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KVT_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt libraries (libqt5widgets5, libqt5serialport5, ...) and the C++ runtime
# come from dpkg-shlibdeps run over the installed executables.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # name_version_arch.deb
# CPACK_DEBIAN_PACKAGE_ARCHITECTURE is left unset: dpkg --print-architecture.

include(CPack)
