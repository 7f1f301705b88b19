# Cross-builds velto.exe for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix).
# The posix thread model is needed by GoogleTest; the program itself uses no threads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELTO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELTO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTO_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VELTO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
