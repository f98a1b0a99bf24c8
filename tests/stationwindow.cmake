# The station's window on the real engine, and kvt-station as a process.
if(TARGET tst_stationwindow)
    target_link_libraries(tst_stationwindow PRIVATE kvtstationwindow)
    target_compile_definitions(tst_stationwindow PRIVATE
        KVT_STATION_BINARY="$<TARGET_FILE:kvt-station>")
    add_dependencies(tst_stationwindow kvt-station)
endif()
