# Renders the man pages and fails on any warning: cmake "-DPAGES=a.1;b.1" -P manpage_check.cmake
# They are read through preconv (-k), as man does, and set for a UTF-8 terminal, which has the
# Japanese characters, and for ASCII, as man does in a C or POSIX locale.
foreach(page IN LISTS PAGES)
  foreach(device utf8 ascii)
    execute_process(COMMAND groff -k -T${device} -man -ww -z "${page}"
                    RESULT_VARIABLE status ERROR_VARIABLE warnings)
    if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
      message(FATAL_ERROR "groff -T${device} ${page}: status ${status}\n${warnings}")
    endif()
  endforeach()
endforeach()
