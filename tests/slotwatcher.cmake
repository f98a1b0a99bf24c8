# The slot watcher alone, raced by a thread that plays udev.
if(TARGET tst_slotwatcher)
    target_link_libraries(tst_slotwatcher PRIVATE kvtstation)
endif()
