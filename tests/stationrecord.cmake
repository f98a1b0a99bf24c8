# The station's record and the ends of kvt-flash --watch as a process.
if(TARGET tst_stationrecord)
    target_link_libraries(tst_stationrecord PRIVATE kvtstation)
    target_compile_definitions(tst_stationrecord PRIVATE KVT_FLASH_BINARY="$<TARGET_FILE:kvt-flash>")
    add_dependencies(tst_stationrecord kvt-flash)
endif()
