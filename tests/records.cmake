# The records library and kvt-records. The tests that start a PostgreSQL of
# their own name it after this build (KVT_PGTEST_PREFIX), and a cleanup step
# stops whatever a crashed test left running.
find_package(Qt5 5.15 REQUIRED COMPONENTS Network)
string(MD5 KVT_BUILD_HASH "${PROJECT_BINARY_DIR}")
string(SUBSTRING "${KVT_BUILD_HASH}" 0 10 KVT_BUILD_HASH)
set(KVT_PGTEST_PREFIX "/tmp/kvt-pgtest-${KVT_BUILD_HASH}")

foreach(test tst_records tst_forwarder tst_recordstool tst_releases)
    target_link_libraries(${test} PRIVATE kvtrecordstool Qt5::Network)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "KVT_PGTEST_PREFIX=${KVT_PGTEST_PREFIX}")
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED postgres)
endforeach()

add_test(NAME records_postgres_cleanup
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/pg-cleanup.sh ${KVT_PGTEST_PREFIX})
set_tests_properties(records_postgres_cleanup PROPERTIES FIXTURES_CLEANUP postgres)
