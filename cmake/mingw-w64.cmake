# Cross build of the Windows x86-64 library with MinGW-w64 on Linux.
#
# The POSIX-thread flavour of the compilers is used: the win32-thread one has
# no std::mutex or std::thread. Programs built here run on Linux through Wine
# (CMAKE_CROSSCOMPILING_EMULATOR, set by the "windows" preset).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVROLINK_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TAVROLINK_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TAVROLINK_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TAVROLINK_MINGW_TRIPLE}-windres REQUIRED)

# Headers and libraries come from the MinGW-w64 tree only, never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TAVROLINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
