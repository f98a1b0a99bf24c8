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
include(${CMAKE_CURRENT_LIST_DIR}/manpage.cmake)
check_man_page("${help}" "${page}")
