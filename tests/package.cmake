# The Debian package: cpack builds it into a scratch directory, lintian judges
# it, then its fields, its files and the installed programs are checked (see
# packaging/check-deb.sh). Skipped where dpkg-deb or dpkg-shlibdeps is missing.
set(KVT_PACKAGE_CHECK_ARGS
    --build-dir ${PROJECT_BINARY_DIR}
    --scratch ${CMAKE_CURRENT_BINARY_DIR}/package-check
    --version ${PROJECT_VERSION}
    --cpack ${CMAKE_CPACK_COMMAND})
foreach(program kvt-firmware-updater kvt-flash kvt-bootloader-sim kvt-station kvt-records)
    if(TARGET ${program})
        list(APPEND KVT_PACKAGE_CHECK_ARGS --bin ${program})
    endif()
endforeach()
# The windows: a desktop entry each, and they keep running once started.
foreach(window kvt-firmware-updater kvt-station)
    if(TARGET ${window})
        list(APPEND KVT_PACKAGE_CHECK_ARGS --desktop ${window} --start ${window})
    endif()
endforeach()
# The programs with --help and --version.
foreach(program kvt-flash kvt-bootloader-sim kvt-station kvt-records)
    if(TARGET ${program})
        list(APPEND KVT_PACKAGE_CHECK_ARGS --run ${program})
    endif()
endforeach()
foreach(document copyright changelog.gz 60-kvt-station.rules)
    list(APPEND KVT_PACKAGE_CHECK_ARGS --file usr/share/doc/kvt-firmware-updater/${document})
endforeach()

add_test(NAME package_deb
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-deb.sh ${KVT_PACKAGE_CHECK_ARGS})
set_tests_properties(package_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS package)
