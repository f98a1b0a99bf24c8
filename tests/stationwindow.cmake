# The station's window on the real engine, and kvt-station as a process; the
# script test kvt_station_cli checks that the man page documents every option
# of --help, and that both list the same exit statuses.
#
# Included by tests/CMakeLists.txt it declares the tests; run as `cmake -P`
# by kvt_station_cli it runs the checks.

if(NOT CMAKE_SCRIPT_MODE_FILE)
    if(TARGET tst_stationwindow)
        target_link_libraries(tst_stationwindow PRIVATE kvtstationwindow)
        target_compile_definitions(tst_stationwindow PRIVATE
            KVT_STATION_BINARY="$<TARGET_FILE:kvt-station>")
        add_dependencies(tst_stationwindow kvt-station)
    endif()
    add_test(NAME kvt_station_cli
        COMMAND ${CMAKE_COMMAND} -DSTATION=$<TARGET_FILE:kvt-station>
            -DMAN_PAGE=${PROJECT_SOURCE_DIR}/tools/kvt-station/kvt-station.1
            -P ${CMAKE_CURRENT_LIST_FILE})
    return()
endif()

execute_process(COMMAND ${STATION} --help RESULT_VARIABLE status OUTPUT_VARIABLE help)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "kvt-station --help: status ${status}")
endif()
file(READ "${MAN_PAGE}" page)
string(REGEX MATCHALL "--[a-z-]+" options "${help}")
list(REMOVE_DUPLICATES options)
list(REMOVE_ITEM options --help-all) # Qt's own options, which the page names as such
foreach(option ${options})
    string(REPLACE "-" "\\-" roff_option "${option}")
    string(FIND "${page}" "${roff_option}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the man page lacks ${option}")
    endif()
endforeach()
string(FIND "${help}" "Exit status:" at)
string(SUBSTRING "${help}" ${at} -1 help_section)
string(REGEX MATCHALL "\n  [0-9]+ " help_statuses "${help_section}")
string(REGEX REPLACE "[\n ]" "" help_statuses "${help_statuses}")
string(FIND "${page}" ".SH EXIT STATUS" at)
string(SUBSTRING "${page}" ${at} -1 page_section)
string(REGEX REPLACE "\n\\.SH [A-Z].*" "" page_section "${page_section}")
string(REGEX MATCHALL "\n\\.B [0-9]+\n" page_statuses "${page_section}")
string(REGEX REPLACE "[\n.B ]" "" page_statuses "${page_statuses}")
if(help_statuses STREQUAL "" OR NOT help_statuses STREQUAL page_statuses)
    message(FATAL_ERROR "exit statuses: --help ${help_statuses}, the man page ${page_statuses}")
endif()
