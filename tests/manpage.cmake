# What a program's man page owes its --help: every option the help lists, and
# the same exit statuses in its EXIT STATUS section. The programs' script
# tests include it when they run (cmake -P); read at configure time, it only
# defines the function.
function(check_man_page help page)
    string(REGEX MATCHALL "--[a-z-]+" options "${help}")
    list(REMOVE_DUPLICATES options)
    list(REMOVE_ITEM options --help-all) # Qt's own options, which a page names as such
    foreach(option ${options})
        string(REPLACE "-" "\\-" roff_option "${option}")
        string(FIND "${page}" "${roff_option}" at)
        if(at EQUAL -1)
            message(FATAL_ERROR "the man page lacks ${option}")
        endif()
    endforeach()
    string(FIND "${help}" "Exit status:" at)
    string(SUBSTRING "${help}" ${at} -1 help_section)
    string(REGEX MATCHALL "\n  [0-9]+ " help_statuses "${help_section}")
    string(REGEX REPLACE "[\n ]" "" help_statuses "${help_statuses}")
    string(FIND "${page}" ".SH EXIT STATUS" at)
    string(SUBSTRING "${page}" ${at} -1 page_section)
    string(REGEX REPLACE "\n\\.SH [A-Z].*" "" page_section "${page_section}")
    string(REGEX MATCHALL "\n\\.B [0-9]+\n" page_statuses "${page_section}")
    string(REGEX REPLACE "[\n.B ]" "" page_statuses "${page_statuses}")
    if(help_statuses STREQUAL "" OR NOT help_statuses STREQUAL page_statuses)
        message(FATAL_ERROR "exit statuses: --help ${help_statuses}, the man page ${page_statuses}")
    endif()
endfunction()
