# Cross-build for 64-bit Windows with mingw-w64. The posix-thread variant of the
# compiler is named explicitly: only it has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(IRISDESK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${IRISDESK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${IRISDESK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${IRISDESK_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${IRISDESK_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests run under Wine through this wrapper (a private prefix, no dialogs).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh)
