# The provider for 32-bit programs. This same source tree is configured once
# more with the i686 toolchain into <build>/x86 (ZK_PROVIDER_ONLY: the DLL and
# the suites that load it, nothing else); its DLL is <build>/x86/bin/ZentravaKSP.dll.
# Its suites start the 64-bit signing service built here, use this build's
# Wine prefix and run in this build's CTest run, named <suite>_x86.
#
# Targets: ZentravaKSP_x86 (configures the tree, builds the DLL) and
# zk_x86_tests (the suites; part of "all").
include(ExternalProject)

set(ZK_X86_BINARY_DIR ${CMAKE_BINARY_DIR}/x86)
find_program(ZK_MINGW32_CXX NAMES i686-w64-mingw32-g++-posix i686-w64-mingw32-g++
             HINTS ${ZK_MINGW_ROOT} ${ZK_MINGW_ROOT}/bin)
if(NOT ZK_MINGW32_CXX)
  message(WARNING "x86 provider: NOT built: no i686-w64-mingw32-g++-posix found (Debian's mingw-w64 has it; "
                  "scripts/setup.sh installs it). Configure with -DZK_BUILD_X86=OFF to build x64 only.")
  return()
endif()
message(STATUS "x86 provider: built in ${ZK_X86_BINARY_DIR} with ${ZK_MINGW32_CXX}")

# A recursive make shares the outer make's job slots; other generators build on their own.
if(CMAKE_GENERATOR MATCHES "Make")
  set(zk_x86_build_dll $(MAKE) ZentravaKSP)
  set(zk_x86_build_all $(MAKE))
else()
  set(zk_x86_build_dll ${CMAKE_COMMAND} --build ${ZK_X86_BINARY_DIR} --target ZentravaKSP)
  set(zk_x86_build_all ${CMAKE_COMMAND} --build ${ZK_X86_BINARY_DIR})
endif()

set(zk_x86_cache_args
    -DCMAKE_TOOLCHAIN_FILE:FILEPATH=${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw32.cmake
    -DCMAKE_BUILD_TYPE:STRING=${CMAKE_BUILD_TYPE}
    -DZK_PROVIDER_ONLY:BOOL=ON
    -DZK_WERROR:BOOL=${ZK_WERROR}
    -DZK_BUILD_TESTS:BOOL=${ZK_BUILD_TESTS}
    -DZK_MINGW_ROOT:PATH=${ZK_MINGW_ROOT}
    -DZK_WINEPREFIX:PATH=${ZK_WINEPREFIX}
    -DZK_X64_SIGNING_SERVICE:FILEPATH=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ZentravaSigningService.exe)
if(DEFINED ZK_GTEST_SOURCE_DIR)
  list(APPEND zk_x86_cache_args -DZK_GTEST_SOURCE_DIR:PATH=${ZK_GTEST_SOURCE_DIR})
endif()

ExternalProject_Add(ZentravaKSP_x86
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${ZK_X86_BINARY_DIR}
  PREFIX ${CMAKE_BINARY_DIR}/x86-stamps
  CMAKE_CACHE_ARGS ${zk_x86_cache_args}
  BUILD_COMMAND ${zk_x86_build_dll}
  BUILD_ALWAYS ON
  INSTALL_COMMAND "")
add_dependencies(zk_shipped ZentravaKSP_x86)

if(ZK_BUILD_TESTS)
  # After the DLL (target order, so the two never build the tree at once) and
  # the 64-bit service that the suites start.
  add_custom_target(zk_x86_tests ALL COMMAND ${zk_x86_build_all} WORKING_DIRECTORY ${ZK_X86_BINARY_DIR}
                    COMMENT "Building the x86 suites in ${ZK_X86_BINARY_DIR}")
  add_dependencies(zk_x86_tests ZentravaKSP_x86 ZentravaSigningService)

  # The x86 suites join this build's CTest run.
  file(WRITE ${CMAKE_BINARY_DIR}/x86_tests.cmake
       "if(EXISTS \"${ZK_X86_BINARY_DIR}/CTestTestfile.cmake\")\n  subdirs(\"${ZK_X86_BINARY_DIR}\")\nendif()\n")
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/x86_tests.cmake)
endif()
