# The one presenter of a board, and kvt-flash's views of the station.
if(TARGET tst_boardview)
    target_link_libraries(tst_boardview PRIVATE kvtprogram)
endif()
if(TARGET tst_console)
    target_link_libraries(tst_console PRIVATE kvtflashcli)
endif()
