# The simulated bootloader tool's --help and --version: package_deb runs
# them on the installed program.

# A bad option value or an unknown option is refused rather than ignored,
# with the usage status of every program (64).
foreach(wrong "--nak-block;zero" "--no-such-option")
    string(MAKE_C_IDENTIFIER "${wrong}" name)
    add_test(NAME bootloadersim_tool_refuses${name}
             COMMAND sh -c "$<TARGET_FILE:kvt-bootloader-sim> \"$@\"; test $? -eq 64" sh ${wrong})
endforeach()

# The simulator's own test also drives the tool: each fault option against
# the flasher, a demo image, one upload through its link, the link gone after.
if(TARGET tst_bootloadersim)
    add_dependencies(tst_bootloadersim kvt-bootloader-sim)
    target_link_libraries(tst_bootloadersim PRIVATE kvtflash)
    target_compile_definitions(tst_bootloadersim PRIVATE
                               KVT_BOOTLOADER_SIM="$<TARGET_FILE:kvt-bootloader-sim>")
endif()
