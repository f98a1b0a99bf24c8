# The simulated bootloader's core: bytes and time in, answers and events out,
# no I/O. The simulator and the fuzz target (whose own clang build includes
# this file too) drive it.
add_library(kvtsimcore STATIC
    ${CMAKE_CURRENT_LIST_DIR}/bootloadercore.h ${CMAKE_CURRENT_LIST_DIR}/corereceiver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/corereading.cpp ${CMAKE_CURRENT_LIST_DIR}/corewriting.cpp)
# Included as "sim/...".
target_include_directories(kvtsimcore PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(kvtsimcore PUBLIC kvtprotocol PRIVATE kvt_warnings)
