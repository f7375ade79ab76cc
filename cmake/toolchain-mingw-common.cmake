# The part of the mingw-w64 toolchain files that both architectures share;
# the including file sets CMAKE_SYSTEM_PROCESSOR and ZK_TRIPLE first.
# The compilers are looked up, not assumed: the -posix thread variant first
# (std::thread and std::mutex need it in GCC 12), then the plain names that
# other distributions ship. ZK_MINGW_ROOT points at another installation.
set(CMAKE_SYSTEM_NAME Windows)

set(ZK_MINGW_ROOT "" CACHE PATH "Folder with a mingw-w64 installation's bin/ (empty: search PATH)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZK_MINGW_ROOT)
set(zk_hints)
if(ZK_MINGW_ROOT)
  list(APPEND zk_hints ${ZK_MINGW_ROOT}/bin)
endif()

if(NOT CMAKE_C_COMPILER)
  find_program(ZK_MINGW_CC NAMES ${ZK_TRIPLE}-gcc-posix ${ZK_TRIPLE}-gcc HINTS ${zk_hints} REQUIRED)
  set(CMAKE_C_COMPILER ${ZK_MINGW_CC})
endif()
if(NOT CMAKE_CXX_COMPILER)
  find_program(ZK_MINGW_CXX NAMES ${ZK_TRIPLE}-g++-posix ${ZK_TRIPLE}-g++ HINTS ${zk_hints} REQUIRED)
  set(CMAKE_CXX_COMPILER ${ZK_MINGW_CXX})
endif()
if(NOT CMAKE_RC_COMPILER)
  find_program(ZK_MINGW_RC NAMES ${ZK_TRIPLE}-windres HINTS ${zk_hints} REQUIRED)
  set(CMAKE_RC_COMPILER ${ZK_MINGW_RC})
endif()

# Headers, import libraries and packages (GoogleTest) of the target only,
# never the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${ZK_TRIPLE})
if(ZK_MINGW_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZK_MINGW_ROOT} ${ZK_MINGW_ROOT}/${ZK_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every binary carries its own C and C++ runtime so it runs from a bare copy.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
