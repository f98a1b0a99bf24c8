# Test "windows_rc": the Windows resource script resources/windows/
# kvt-firmware-updater.rc compiles with GNU windres, and it holds what the
# Windows build needs: the icon IDI_ICON1 with 16, 24,
# 32, 48 px 32-bit entries and a 256 px PNG entry, a manifest (RT_MANIFEST 1)
# and a version resource 0.0.0.0.
#
# This file has two modes:
#  - included by tests/CMakeLists.txt: declares the test (or skips it with a
#    message when windres is missing);
#  - run as `cmake -P` by that test: compiles, decompiles and checks.

if(NOT CMAKE_SCRIPT_MODE_FILE)
    # ---- Declaration (configure time) ----
    find_program(KVT_WINDRES NAMES x86_64-w64-mingw32-windres)
    # windres needs a C preprocessor: the MinGW gcc if present (its default),
    # else the host's cpp.
    find_program(KVT_MINGW_GCC NAMES x86_64-w64-mingw32-gcc)
    find_program(KVT_HOST_CPP NAMES cpp)
    set(_kvt_rc_preprocessor "")
    if(KVT_WINDRES AND NOT KVT_MINGW_GCC AND KVT_HOST_CPP)
        set(_kvt_rc_preprocessor "${KVT_HOST_CPP}")
    endif()

    if(NOT KVT_WINDRES OR (NOT KVT_MINGW_GCC AND NOT KVT_HOST_CPP))
        message(STATUS "windows_rc: skipped: x86_64-w64-mingw32-windres (Debian package "
                       "binutils-mingw-w64-x86-64) or a C preprocessor not found")
        add_test(NAME windows_rc COMMAND ${CMAKE_COMMAND} -E echo
                 "windows_rc: SKIPPED: x86_64-w64-mingw32-windres or a C preprocessor not found")
        set_tests_properties(windows_rc PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED")
        return()
    endif()

    add_test(NAME windows_rc
        COMMAND ${CMAKE_COMMAND}
            -DWINDRES=${KVT_WINDRES}
            -DPREPROCESSOR=${_kvt_rc_preprocessor}
            -DRC_FILE=kvt-firmware-updater.rc
            -DOUT_DIR=${CMAKE_CURRENT_BINARY_DIR}/windows_rc
            -P ${CMAKE_CURRENT_LIST_FILE}
        # The .rc names its icon and manifest relative to its own folder.
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/resources/windows)
    set_tests_properties(windows_rc PROPERTIES TIMEOUT 120)
    return()
endif()

# ---- Check (test time, script mode) ----
cmake_policy(VERSION 3.25)
set(_failures 0)
# check("<if() condition>" "<what>"): reports one check and counts failures.
function(check condition message)
    cmake_language(EVAL CODE "if(${condition})\nset(_ok TRUE)\nelse()\nset(_ok FALSE)\nendif()")
    if(_ok)
        message(STATUS "ok: ${message}")
    else()
        message(STATUS "FAIL: ${message}")
        math(EXPR _n "${_failures} + 1")
        set(_failures ${_n} PARENT_SCOPE)
    endif()
endfunction()

set(_pp_args "")
if(PREPROCESSOR)
    set(_pp_args "--preprocessor=${PREPROCESSOR}" "--preprocessor-arg=-DRC_INVOKED")
endif()
file(MAKE_DIRECTORY "${OUT_DIR}")
file(REMOVE "${OUT_DIR}/kvt-firmware-updater.o" "${OUT_DIR}/kvt-firmware-updater.res"
            "${OUT_DIR}/decompiled.rc")

# 1. Compile to a COFF object, as a Windows build links it.
execute_process(
    COMMAND "${WINDRES}" ${_pp_args} -i "${RC_FILE}" -O coff -o "${OUT_DIR}/kvt-firmware-updater.o"
    RESULT_VARIABLE _rc_obj ERROR_VARIABLE _err_obj)
check("_rc_obj EQUAL 0" "windres compiles ${RC_FILE} to a COFF object ${_err_obj}")
set(_obj_size 0)
if(EXISTS "${OUT_DIR}/kvt-firmware-updater.o")
    file(SIZE "${OUT_DIR}/kvt-firmware-updater.o" _obj_size)
endif()
check("_obj_size GREATER 1000" "the object file is written (${_obj_size} bytes)")

# 2. Compile to a .res and decompile it to text to see what it holds.
execute_process(
    COMMAND "${WINDRES}" ${_pp_args} -i "${RC_FILE}" -O res -o "${OUT_DIR}/kvt-firmware-updater.res"
    RESULT_VARIABLE _rc_res ERROR_VARIABLE _err_res)
check("_rc_res EQUAL 0" "windres compiles ${RC_FILE} to a .res ${_err_res}")
execute_process(
    COMMAND "${WINDRES}" -i "${OUT_DIR}/kvt-firmware-updater.res" -O rc -o "${OUT_DIR}/decompiled.rc"
    RESULT_VARIABLE _rc_dec ERROR_VARIABLE _err_dec)
check("_rc_dec EQUAL 0" "windres reads the .res back ${_err_dec}")
set(_text "")
if(EXISTS "${OUT_DIR}/decompiled.rc")
    file(READ "${OUT_DIR}/decompiled.rc" _text)
endif()

string(FIND "${_text}" "\"IDI_ICON1\" 14 /* RT_GROUP_ICON */" _pos)
check("NOT _pos EQUAL -1" "group icon named IDI_ICON1")
string(REGEX MATCHALL "[0-9]+ 3 /\\* RT_ICON \\*/" _icons "${_text}")
list(LENGTH _icons _icon_count)
check("_icon_count EQUAL 5" "five icon images (found ${_icon_count})")
# Group entries: width/height bytes in octal (16, 24, 32, 48, 0 = 256), 32 bits.
set(_octal_020 16)
set(_octal_030 24)
set(_octal_040 32)
set(_octal_060 48)
set(_octal_000 256)
foreach(_octal 020 030 040 060 000)
    string(FIND "${_text}" "\"\\${_octal}\\${_octal}\\000\\000\", 1, 32," _pos)
    check("NOT _pos EQUAL -1" "icon group entry for ${_octal_${_octal}} px with 32 bits per pixel")
endforeach()
string(FIND "${_text}" "1 24 /* RT_MANIFEST */" _pos)
check("NOT _pos EQUAL -1" "manifest resource 1 of type 24")
string(FIND "${_text}" "1 VERSIONINFO" _pos)
check("NOT _pos EQUAL -1" "version resource")
# windres leaves out FILEVERSION/PRODUCTVERSION when they are 0,0,0,0.
string(REGEX MATCH "(FILE|PRODUCT)VERSION [0-9]" _nonzero "${_text}")
string(REGEX MATCH "(FILE|PRODUCT)VERSION 0, 0, 0, 0" _zero "${_text}")
check("NOT _nonzero OR _zero" "FILEVERSION and PRODUCTVERSION are 0,0,0,0")
foreach(_key FileVersion ProductVersion)
    string(FIND "${_text}" "VALUE \"${_key}\", \"0.0.0.0\"" _pos)
    check("NOT _pos EQUAL -1" "string ${_key} is \"0.0.0.0\"")
endforeach()

# 3. The manifest asks for asInvoker and Common-Controls 6.
file(READ "${CMAKE_CURRENT_SOURCE_DIR}/kvt-firmware-updater.manifest" _manifest)
string(FIND "${_manifest}" "level=\"asInvoker\"" _pos)
check("NOT _pos EQUAL -1" "manifest: execution level asInvoker")
string(REGEX MATCH "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"" _cc6 "${_manifest}")
check("_cc6" "manifest: Common-Controls 6.0.0.0")

# 4. The .ico container: 5 entries; 16..48 are 32-bit DIBs, 256 is a PNG.
file(READ "${CMAKE_CURRENT_SOURCE_DIR}/kvt-firmware-updater.ico" _ico HEX)
string(SUBSTRING "${_ico}" 0 12 _head)
check("_head STREQUAL \"000001000500\"" "ico header: icon with 5 images (${_head})")
function(le_hex hex out)  # little-endian hex string to decimal
    string(LENGTH "${hex}" _n)
    set(_v 0)
    set(_i ${_n})
    while(_i GREATER 0)
        math(EXPR _i "${_i} - 2")
        string(SUBSTRING "${hex}" ${_i} 2 _b)
        math(EXPR _v "${_v} * 256 + 0x${_b}")
    endwhile()
    set(${out} ${_v} PARENT_SCOPE)
endfunction()
set(_expected 16 24 32 48 256)
foreach(_k RANGE 0 4)
    list(GET _expected ${_k} _size)
    math(EXPR _at "(6 + 16 * ${_k}) * 2")
    string(SUBSTRING "${_ico}" ${_at} 32 _dir)
    string(SUBSTRING "${_dir}" 0 2 _w)
    string(SUBSTRING "${_dir}" 12 4 _bits)
    string(SUBSTRING "${_dir}" 24 8 _offset_hex)
    le_hex("${_w}" _w)
    le_hex("${_bits}" _bits)
    le_hex("${_offset_hex}" _offset)
    if(_w EQUAL 0)
        set(_w 256)
    endif()
    math(EXPR _data_at "${_offset} * 2")
    string(SUBSTRING "${_ico}" ${_data_at} 16 _magic)
    if(_size EQUAL 256)
        check("_magic STREQUAL \"89504e470d0a1a0a\"" "ico entry ${_k}: ${_w} px PNG")
    else()
        check("_magic MATCHES \"^28000000\" AND _bits EQUAL 32" "ico entry ${_k}: ${_w} px 32-bit DIB")
    endif()
    check("_w EQUAL _size" "ico entry ${_k} is ${_size} px (found ${_w})")
endforeach()

if(_failures GREATER 0)
    message(FATAL_ERROR "windows_rc: ${_failures} check(s) failed")
endif()
message(STATUS "windows_rc: all checks passed")
