# What the flashing engine says about serial ports.
if(TARGET tst_serialports)
    target_link_libraries(tst_serialports PRIVATE kvtflash)
endif()
