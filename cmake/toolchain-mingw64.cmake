# Cross-building for 64-bit Windows with Debian's mingw-w64 (posix thread
# model: std::thread, std::jthread and the condition variables work).  The
# programs link their runtime statically, so each .exe imports only system
# DLLs and runs on a Windows machine with nothing installed.  Wine runs them
# here: ctest and the GoogleTest discovery go through it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZANTU_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZANTU_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZANTU_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZANTU_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZANTU_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(ZANTU_WINE wine)
if(ZANTU_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZANTU_WINE})
endif()
