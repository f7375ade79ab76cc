# Cross-compile for 32-bit Windows with mingw-w64 (i686-w64-mingw32): the
# provider for 32-bit programs, built in <build>/x86 by cmake/x86_tree.cmake.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZK_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
