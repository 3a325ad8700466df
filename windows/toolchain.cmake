# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 GCC. The "-posix" compilers are the
# ones whose C++ library has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SWP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SWP_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SWP_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SWP_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SWP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
