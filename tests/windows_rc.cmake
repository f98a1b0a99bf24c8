# Test "windows_rc": resources/windows/kvt-firmware-updater.rc compiles with
# GNU windres as a Windows build would, and its icon holds the 16, 24, 32, 48
# and 256 px images that Windows picks from. Included by tests/CMakeLists.txt
# this file declares the test; the test runs it again with cmake -P.

if(NOT CMAKE_SCRIPT_MODE_FILE)
    find_program(KVT_WINDRES NAMES x86_64-w64-mingw32-windres)
    # windres preprocesses with the MinGW gcc; without it, the host's cpp does.
    find_program(KVT_MINGW_GCC NAMES x86_64-w64-mingw32-gcc)
    find_program(KVT_HOST_CPP NAMES cpp)
    if(NOT KVT_WINDRES OR NOT (KVT_MINGW_GCC OR KVT_HOST_CPP))
        add_test(NAME windows_rc COMMAND ${CMAKE_COMMAND} -E echo
                 "windows_rc: SKIPPED: x86_64-w64-mingw32-windres or a C preprocessor not found")
        set_tests_properties(windows_rc PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED")
        return()
    endif()
    set(_kvt_rc_preprocessor "")
    if(NOT KVT_MINGW_GCC)
        set(_kvt_rc_preprocessor "--preprocessor=${KVT_HOST_CPP}")
    endif()
    add_test(NAME windows_rc
        COMMAND ${CMAKE_COMMAND} -DWINDRES=${KVT_WINDRES} -DPREPROCESSOR=${_kvt_rc_preprocessor}
                -DOUT=${CMAKE_CURRENT_BINARY_DIR}/kvt-firmware-updater-rc.o
                -P ${CMAKE_CURRENT_LIST_FILE}
        # The .rc names its icon and manifest relative to its own folder.
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/resources/windows)
    return()
endif()

execute_process(COMMAND ${WINDRES} ${PREPROCESSOR} -i kvt-firmware-updater.rc -O coff -o ${OUT}
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "windres cannot compile kvt-firmware-updater.rc: ${errors}")
endif()

# An .ico opens with a 6-byte header (its image count at byte 4), then one
# 16-byte entry per image, its width and height first, 0 standing for 256.
string(REPEAT "." 28 rest) # an entry's hex digits past its width and height
file(READ kvt-firmware-updater.ico ico LIMIT 86 HEX)
if(NOT ico MATCHES "^0000010005001010${rest}1818${rest}2020${rest}3030${rest}0000")
    message(FATAL_ERROR "the icon holds other images than 16, 24, 32, 48 and 256 px (${ico})")
endif()
message(STATUS "windows_rc: the resources compile; the icon holds 16, 24, 32, 48 and 256 px")
