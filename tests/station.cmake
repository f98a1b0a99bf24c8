# The station engine in-process, and kvt-flash --watch as a process.
if(TARGET tst_station)
    target_link_libraries(tst_station PRIVATE kvtstation)
    target_compile_definitions(tst_station PRIVATE KVT_FLASH_BINARY="$<TARGET_FILE:kvt-flash>")
    add_dependencies(tst_station kvt-flash)
endif()
