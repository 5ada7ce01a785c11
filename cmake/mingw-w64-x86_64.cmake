# Cross build for 64-bit Windows with MinGW-w64 (Debian:
# g++-mingw-w64-x86-64-posix), with the POSIX thread model that std::thread
# needs. Everything, the C++ runtime and winpthreads included, is linked
# statically, so the executables run without any DLL beside them; Wine runs
# them for CTest when it is installed.
#   cmake -S . -B build/mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RASTERLOOM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RASTERLOOM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RASTERLOOM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RASTERLOOM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RASTERLOOM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(RASTERLOOM_WINE NAMES wine64 wine)
if(RASTERLOOM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RASTERLOOM_WINE})
endif()
