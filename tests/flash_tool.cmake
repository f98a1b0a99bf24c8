# The headless flasher: tst_flash needs the flasher library and runs the
# kvt-flash binary; the script test kvt_flash_cli checks the binary's exit
# status for --help, usage and file errors (what --help says: tst_optionsets),
# the time in each --list-ports --json object, and that the man page documents
# every option and exit status of --help and renders without warnings.
#
# This file has two modes:
#  - included by tests/CMakeLists.txt: links tst_flash and declares the tests;
#  - run as `cmake -P` by the test kvt_flash_cli: runs the checks.

if(NOT CMAKE_SCRIPT_MODE_FILE)
    # ---- Declaration (configure time) ----
    if(TARGET tst_flash)
        target_link_libraries(tst_flash PRIVATE kvtflashcli)
        target_compile_definitions(tst_flash PRIVATE KVT_FLASH_BINARY="$<TARGET_FILE:kvt-flash>"
            KVT_VERSION="${PROJECT_VERSION}")
        add_dependencies(tst_flash kvt-flash)
    endif()

    find_program(KVT_MAN NAMES man)
    add_test(NAME kvt_flash_cli
        COMMAND ${CMAKE_COMMAND}
            -DFLASHER=$<TARGET_FILE:kvt-flash>
            -DMAN_PAGE=${PROJECT_SOURCE_DIR}/tools/kvt-flash/kvt-flash.1
            -DMAN=${KVT_MAN}
            -P ${CMAKE_CURRENT_LIST_FILE})
    return()
endif()

# ---- The checks (test time) ----
function(expect_status expected)
    execute_process(COMMAND ${FLASHER} ${ARGN}
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL expected)
        message(FATAL_ERROR "kvt-flash ${ARGN}: status ${status}, expected ${expected}\n${out}${err}")
    endif()
    set(last_out "${out}" PARENT_SCOPE)
endfunction()

expect_status(0 --help)
set(help "${last_out}")

expect_status(64)
expect_status(64 firmware.kvt)
expect_status(64 --no-such-option)
expect_status(2 /nonexistent/firmware.kvt --port ttyS0)

# Each port object is a record on its own, with its time. Pseudo-terminals
# are never listed: on a machine without serial ports there is nothing to see.
expect_status(0 --list-ports --json)
string(REGEX MATCHALL "[^\n]+" port_lines "${last_out}")
foreach(line ${port_lines})
    if(NOT line MATCHES "^{.*\"event\":\"port\".*\"time\":\"[0-9]+-[0-9]+-[0-9]+T[0-9:.]+Z\"")
        message(FATAL_ERROR "--list-ports --json: no event or time in ${line}")
    endif()
endforeach()

# The man page documents every option and exit status that --help shows.
file(READ "${MAN_PAGE}" page)
include(${CMAKE_CURRENT_LIST_DIR}/manpage.cmake)
check_man_page("${help}" "${page}")

# And it renders without complaints where man is installed.
if(MAN)
    execute_process(COMMAND ${MAN} --warnings -l ${MAN_PAGE}
        RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE warnings)
    if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
        message(FATAL_ERROR "man -l ${MAN_PAGE}: status ${status}\n${warnings}")
    endif()
endif()
