# Installs the build into a scratch prefix and checks what lands there:
#     cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
# Installed by component, which leaves the user's own install_manifest.txt alone.
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" --component Unspecified
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${installed}")
endif()
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
file(REMOVE_RECURSE "${PREFIX}")
