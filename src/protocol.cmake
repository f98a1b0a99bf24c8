# The protocol: the wire format, the upload session and its deadlines, and
# the image check; no words for people. Qt Core only: the engines, the fuzz replay and the protocol tests link it;
# the fuzz target's own clang build includes this file too.
add_library(kvtprotocol STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ymodem/line.h ${CMAKE_CURRENT_LIST_DIR}/ymodem/deadline.h
    ${CMAKE_CURRENT_LIST_DIR}/ymodem/frames.h ${CMAKE_CURRENT_LIST_DIR}/ymodem/frames.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ymodem/upload.h ${CMAKE_CURRENT_LIST_DIR}/ymodem/upload.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ymodem/transfer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/firmwareimage.h ${CMAKE_CURRENT_LIST_DIR}/firmwareimage.cpp)
target_include_directories(kvtprotocol PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kvtprotocol PUBLIC Qt5::Core PRIVATE kvt_warnings)
