# The Debian package: cpack builds it into a scratch directory, then its
# fields, its files and the installed programs are checked (see
# packaging/check-deb.sh). Skipped where dpkg-deb or dpkg-shlibdeps is missing.
set(KVT_PACKAGE_CHECK_ARGS
    --build-dir ${PROJECT_BINARY_DIR}
    --scratch ${CMAKE_CURRENT_BINARY_DIR}/package-check
    --version ${PROJECT_VERSION}
    --cpack ${CMAKE_CPACK_COMMAND})
foreach(program kvt-firmware-updater kvt-flash kvt-bootloader-sim)
    if(TARGET ${program})
        list(APPEND KVT_PACKAGE_CHECK_ARGS --bin ${program})
    endif()
endforeach()
if(TARGET kvt-firmware-updater)
    list(APPEND KVT_PACKAGE_CHECK_ARGS --start kvt-firmware-updater)
endif()
if(TARGET kvt-flash)
    list(APPEND KVT_PACKAGE_CHECK_ARGS --run kvt-flash)
    if(EXISTS ${PROJECT_SOURCE_DIR}/tools/flash/kvt-flash.1)
        list(APPEND KVT_PACKAGE_CHECK_ARGS --man kvt-flash)
    endif()
endif()

# The example udev rule for a flashing station's adapters goes in as a document.
if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/60-kvt-station.rules)
    list(APPEND KVT_PACKAGE_CHECK_ARGS
        --file usr/share/doc/kvt-firmware-updater/60-kvt-station.rules)
endif()

add_test(NAME package_deb
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-deb.sh ${KVT_PACKAGE_CHECK_ARGS})
set_tests_properties(package_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS package)
