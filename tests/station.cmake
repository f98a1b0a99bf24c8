# The station engine in-process, and the terminal and log views of it.
if(TARGET tst_station)
    target_link_libraries(tst_station PRIVATE kvtstation kvtflashcli)
endif()
