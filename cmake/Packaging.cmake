# Install layout and the Debian package. Included at the end of the top-level
# CMakeLists.txt, once every target exists:
#
#   cmake --install build --prefix /usr      install by hand
#   cd build && cpack -G DEB                  build kvt-firmware-updater_<version>_<arch>.deb
#
# Every program goes to bin/ with its man page, compressed, in share/man/man1/;
# the windows' desktop entries and the 256 px icon go where desktop
# environments look for them; the copyright file and the changelog go where
# Debian wants them. A program whose target does not exist is left out with
# its page and its entry.

include(GNUInstallDirs)

# Each program's man page lives beside its sources.
set(KVT_PROGRAMS
    kvt-firmware-updater tools/kvt-firmware-updater
    kvt-flash tools/kvt-flash
    kvt-bootloader-sim tools/kvt-bootloader-sim
    kvt-station tools/kvt-station
    kvt-records tools/kvt-records)
set(KVT_WINDOWS kvt-firmware-updater kvt-station)

# Debian ships man pages and changelogs compressed with gzip -9n (no name, no
# time stamp, so the package is the same from build to build).
find_program(KVT_GZIP gzip REQUIRED)
set(KVT_GZIPPED_FILES)
function(kvt_install_gzipped source destination name)
    set(compressed ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
        COMMAND ${KVT_GZIP} -9n -c ${source} > ${compressed}
        DEPENDS ${source}
        COMMENT "Compressing ${name}"
        VERBATIM)
    install(FILES ${compressed} DESTINATION ${destination})
    set(KVT_GZIPPED_FILES ${KVT_GZIPPED_FILES} ${compressed} PARENT_SCOPE)
endfunction()

# Folders the install makes are 0755 whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(programs ${KVT_PROGRAMS})
while(programs)
    list(POP_FRONT programs program folder)
    if(NOT TARGET ${program})
        continue()
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    kvt_install_gzipped(${PROJECT_SOURCE_DIR}/${folder}/${program}.1
        ${CMAKE_INSTALL_MANDIR}/man1 ${program}.1)
    if(program IN_LIST KVT_WINDOWS)
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/${program}.desktop
                DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    endif()
endwhile()
install(FILES "${PROJECT_SOURCE_DIR}/resources/images/resources/kvt_update_icon(256x256).png"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps
        RENAME kvt-firmware-updater.png)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The package is made by the project itself (a native package: no Debian
# revision in its version), so its changelog is changelog.gz.
kvt_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog ${CMAKE_INSTALL_DOCDIR} changelog)
# An example udev rule for a flashing station's adapters.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-kvt-station.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
add_custom_target(kvt-gzipped-files ALL DEPENDS ${KVT_GZIPPED_FILES})

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
    "flasher (kvt-flash), the window of a production station that flashes every\n"
    "board plugged in (kvt-station), the stations' records in SQLite or\n"
    "PostgreSQL (kvt-records) and a simulated bootloader on a pseudo-terminal\n"
    "for trying them without a device (kvt-bootloader-sim).")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KVT_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt libraries (libqt5widgets5, libqt5serialport5, ...) and the C++ runtime
# come from dpkg-shlibdeps run over the installed executables.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's SQL drivers are plugins, which dpkg-shlibdeps cannot see: kvt-records
# and the station's records need SQLite's, a factory's PostgreSQL the other.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt5sql5-psql")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # name_version_arch.deb
# CPACK_DEBIAN_PACKAGE_ARCHITECTURE is left unset: dpkg --print-architecture.

include(CPack)
