# Renders the man page and fails on any warning: cmake -DPAGE=... -P manpage_check.cmake
# The page quotes the program's Japanese texts, so it is read through preconv (-k) and set for
# a terminal, which has those characters; the PostScript default has none.
execute_process(COMMAND groff -k -Tutf8 -man -ww -z "${PAGE}"
                RESULT_VARIABLE status ERROR_VARIABLE warnings)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff: status ${status}\n${warnings}")
endif()
