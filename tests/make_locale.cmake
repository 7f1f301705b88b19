# Makes one locale for the terminal rows in a directory of locales (their LOCPATH):
#     cmake -DNAME=ja_JP.SJIS -DCHARMAP=SHIFT_JIS -DDIR=... -P make_locale.cmake
# Where localedef cannot make it, nothing is left under its name, and the rows in it skip and
# say so. localedef writes a Shift_JIS locale but fails it for not being ASCII compatible unless
# told not to warn of that.
file(REMOVE_RECURSE "${DIR}/${NAME}")
file(MAKE_DIRECTORY "${DIR}")
string(REGEX REPLACE "[.].*" "" source "${NAME}")
execute_process(COMMAND localedef -c --no-warnings=ascii -f "${CHARMAP}" -i "${source}" "${DIR}/${NAME}"
                RESULT_VARIABLE made OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT made EQUAL 0)
  file(REMOVE_RECURSE "${DIR}/${NAME}")
  message("localedef cannot make ${NAME} (${made}); the rows in it skip:\n${out}")
endif()
