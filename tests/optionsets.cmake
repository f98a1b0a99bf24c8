# The options both station programs share, through each program's parser.
if(TARGET tst_optionsets)
    target_link_libraries(tst_optionsets PRIVATE kvtflashcli kvtstationwindow)
endif()
