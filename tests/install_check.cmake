# Installs the build into a scratch prefix and checks what lands there:
#     cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
# Installed by component, with a record of its own, which leaves the user's install_manifest.txt
# and the record their uninstall reads alone.
set(record "${PREFIX}-installed.txt")
file(REMOVE "${record}")
function(install_into prefix)
  execute_process(COMMAND "${CMAKE_COMMAND}" -DCMAKE_INSTALL_PREFIX=${prefix} -DCMAKE_INSTALL_COMPONENT=Unspecified
                          -DVELTO_INSTALL_RECORD=${record} -P "${BUILD_DIR}/cmake_install.cmake"
                  RESULT_VARIABLE installed OUTPUT_QUIET)
  if(NOT installed EQUAL 0)
    message(FATAL_ERROR "install into ${prefix} (DESTDIR '$ENV{DESTDIR}') failed: ${installed}")
  endif()
endfunction()
install_into("${PREFIX}")
# Where gzip was found the docs are compressed, as the package has them.
set(gz "")
if(EXISTS "${PREFIX}/share/doc/velto/changelog.gz")
  set(gz .gz)
endif()
foreach(path bin/velto share/man/man1/velto.1${gz} share/man/ja/man1/velto.1${gz} share/doc/velto/copyright
        share/doc/velto/changelog${gz} share/bash-completion/completions/velto)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
# The record names the six files and nothing else; a staging install as cpack makes one (with
# DESTDIR, for /usr) leaves it alone.
file(STRINGS "${record}" recorded)
list(SORT recorded)
set(expected "")
foreach(path bin/velto share/bash-completion/completions/velto share/doc/velto/changelog${gz}
        share/doc/velto/copyright share/man/ja/man1/velto.1${gz} share/man/man1/velto.1${gz})
  list(APPEND expected "${PREFIX}/${path}")
endforeach()
list(SORT expected)
set(ENV{DESTDIR} "${PREFIX}/staging")
install_into(/usr)
unset(ENV{DESTDIR})
file(STRINGS "${record}" after_staging)
list(SORT after_staging)
if(NOT recorded STREQUAL expected OR NOT after_staging STREQUAL expected)
  message(FATAL_ERROR "install record: ${recorded}\nafter a staging install: ${after_staging}\nexpected: ${expected}")
endif()
# The completion offers WAV files and directories for both arguments and nothing after them,
# with bash-completion loaded (as the package is used) and without it.
file(MAKE_DIRECTORY "${PREFIX}/c/sub")
file(TOUCH "${PREFIX}/c/a.wav" "${PREFIX}/c/B.WAV" "${PREFIX}/c/c.txt")
foreach(framework : "source /usr/share/bash-completion/bash_completion")
  if(NOT framework STREQUAL ":" AND NOT EXISTS /usr/share/bash-completion/bash_completion)
    continue()
  endif()
  execute_process(COMMAND env LC_ALL=C bash -c "${framework}
    source share/bash-completion/completions/velto && cd c || exit
    for n in 1 2 3; do
      COMP_WORDS=(velto x.wav y.wav) && COMP_WORDS[n]='' && COMP_CWORD=$n && _velto
      printf '%s ' $(printf '%s\\n' \"\${COMPREPLY[@]}\" | sort); echo '|'
    done" WORKING_DIRECTORY "${PREFIX}" OUTPUT_VARIABLE offered ERROR_VARIABLE err)
  if(NOT offered STREQUAL "B.WAV a.wav sub |\nB.WAV a.wav sub |\n |\n")
    message(FATAL_ERROR "completion (${framework}) offers:\n${offered}${err}")
  endif()
endforeach()
# The installed program runs: with no arguments it prints its usage and fails.
execute_process(COMMAND "${PREFIX}/bin/velto" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 255 OR NOT out STREQUAL "" OR err STREQUAL "")
  message(FATAL_ERROR "installed velto misbehaves: status ${status}")
endif()
# The uninstall removes what the record names and nothing else: not a file of another's beside
# them, not what the staging install put in place.
file(TOUCH "${PREFIX}/bin/other")
execute_process(COMMAND "${CMAKE_COMMAND}" -DVELTO_INSTALL_RECORD=${record} -P "${BUILD_DIR}/uninstall.cmake"
                RESULT_VARIABLE removed OUTPUT_QUIET)
foreach(path IN LISTS expected)
  if(EXISTS "${path}")
    message(FATAL_ERROR "left after the uninstall: ${path}")
  endif()
endforeach()
if(NOT removed EQUAL 0 OR NOT EXISTS "${PREFIX}/bin/other" OR NOT EXISTS "${PREFIX}/staging/usr/bin/velto"
   OR EXISTS "${record}")
  message(FATAL_ERROR "the uninstall (status ${removed}) removed more or less than the record")
endif()
file(REMOVE_RECURSE "${PREFIX}")
