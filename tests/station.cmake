# The station engine in-process.
if(TARGET tst_station)
    target_link_libraries(tst_station PRIVATE kvtstation)
endif()
