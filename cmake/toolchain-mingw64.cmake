# Cross-compile for 64-bit Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZK_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${ZK_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZK_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${ZK_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every binary carries its own C++ runtime so it runs from a bare copy.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
