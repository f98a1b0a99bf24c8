# Proof on every board through kvt-flash and kvt-records as processes.
if(TARGET tst_proof)
    target_link_libraries(tst_proof PRIVATE kvtsim kvtrecords)
    target_compile_definitions(tst_proof PRIVATE KVT_FLASH_BINARY="$<TARGET_FILE:kvt-flash>"
                                                 KVT_RECORDS_BINARY="$<TARGET_FILE:kvt-records>")
    add_dependencies(tst_proof kvt-flash kvt-records)
endif()
