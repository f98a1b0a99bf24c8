# The Debian package: cpack builds it into a scratch directory, lintian judges
# it, then its fields, its files and the installed programs are checked (see
# packaging/check-deb.sh). Skipped where dpkg-deb or dpkg-shlibdeps is missing.
#
# The udev rule it ships (test udev_rule, this file run with cmake -P): every
# FTDI adapter the rule lets the operator open also gets its latency timer set
# to 1 ms, on the usb-serial port where ftdi_sio keeps that attribute; no
# other line sets it (a tty has no latency_timer, and udev logs an error for
# every device it tries it on).
if(CMAKE_SCRIPT_MODE_FILE)
    file(STRINGS "${RULES}" rules REGEX "^[^#]")
    set(ids "ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"[0-9a-f]+\"")
    foreach(rule IN LISTS rules)
        if(rule MATCHES "latency_timer" AND NOT rule MATCHES "^ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ${ids}, ATTR{latency_timer}=\"1\"$")
            message(FATAL_ERROR "the latency timer set where ftdi_sio has none: ${rule}")
        endif()
        string(REGEX MATCH "^SUBSYSTEM==\"tty\", ${ids}" adapter "${rule}")
        string(REPLACE "SUBSYSTEM==\"tty\"" "DRIVER==\"ftdi_sio\"" timer "${adapter}")
        if(adapter AND NOT rules MATCHES "${timer}, ATTR{latency_timer}")
            message(FATAL_ERROR "an FTDI adapter keeps its 16 ms latency timer: ${rule}")
        endif()
    endforeach()
    return()
endif()
add_test(NAME udev_rule
    COMMAND ${CMAKE_COMMAND} -DRULES=${PROJECT_SOURCE_DIR}/packaging/60-kvt-station.rules
            -P ${CMAKE_CURRENT_LIST_FILE})

set(KVT_PACKAGE_CHECK_ARGS
    --build-dir ${PROJECT_BINARY_DIR}
    --scratch ${CMAKE_CURRENT_BINARY_DIR}/package-check
    --version ${PROJECT_VERSION}
    --cpack ${CMAKE_CPACK_COMMAND})
# Each program with its man page; the windows with a desktop entry each, and
# they keep running once started; the others with --help and --version.
foreach(program kvt-firmware-updater kvt-flash kvt-bootloader-sim kvt-station kvt-records)
    if(NOT TARGET ${program})
        continue()
    endif()
    list(APPEND KVT_PACKAGE_CHECK_ARGS --bin ${program})
    if(program MATCHES "^kvt-(firmware-updater|station)$")
        list(APPEND KVT_PACKAGE_CHECK_ARGS --desktop ${program} --start ${program})
    endif()
    if(NOT program STREQUAL "kvt-firmware-updater")
        list(APPEND KVT_PACKAGE_CHECK_ARGS --run ${program})
    endif()
endforeach()
foreach(document copyright changelog.gz 60-kvt-station.rules)
    list(APPEND KVT_PACKAGE_CHECK_ARGS --file usr/share/doc/kvt-firmware-updater/${document})
endforeach()

add_test(NAME package_deb
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-deb.sh ${KVT_PACKAGE_CHECK_ARGS})
set_tests_properties(package_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS package)
