# The upload fuzz target's committed seeds, replayed by a plain program with
# the suite's compiler and sanitizers: every property checked on each seed.
add_executable(fuzz_upload_replay ${PROJECT_SOURCE_DIR}/fuzz/fuzz_upload.cpp
                                  ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
target_link_libraries(fuzz_upload_replay PRIVATE kvtsimcore kvt_warnings)
add_test(NAME fuzz_corpus_replay COMMAND fuzz_upload_replay ${PROJECT_SOURCE_DIR}/fuzz/corpus)
