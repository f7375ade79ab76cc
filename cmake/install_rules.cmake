# What ships: `cmake --install <build> --prefix <dir>` lays out
#   bin/   the provider DLL and the three programs; bin/x86/ the provider for
#          32-bit programs, from the x86 tree (cmake/x86_tree.cmake)
#   docs/  the design and installation notes
#   Install-ZentravaKSP.ps1, acceptance.ps1 (the check on real Windows)
# scripts/package.sh turns that tree into the release archive and the MSI.
set(ZK_SHIPPED_TARGETS ZentravaKSP ZentravaKSPConfig ZentravaSigningService ZentravaKSPTool)
foreach(target ${ZK_SHIPPED_TARGETS})
  if(NOT TARGET ${target})
    message(FATAL_ERROR "shipped target ${target} is not defined")
  endif()
endforeach()

# Everything that ships, in one target: what scripts/check-binaries.sh checks
# (cmake/x86_tree.cmake adds the x86 DLL).
add_custom_target(zk_shipped)
add_dependencies(zk_shipped ${ZK_SHIPPED_TARGETS})

# The DLL's import library is not shipped: nothing links against the provider.
install(TARGETS ${ZK_SHIPPED_TARGETS}
        RUNTIME DESTINATION bin COMPONENT Runtime
        LIBRARY DESTINATION bin COMPONENT Runtime
        ARCHIVE DESTINATION lib COMPONENT Development EXCLUDE_FROM_ALL)
# OPTIONAL: a configure without an i686 compiler only warns and builds x64;
# scripts/package.sh insists on both DLLs (scripts/check-binaries.sh).
if(ZK_BUILD_X86)
  install(FILES ${CMAKE_BINARY_DIR}/x86/bin/ZentravaKSP.dll DESTINATION bin/x86 COMPONENT Runtime OPTIONAL)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/tools/Install-ZentravaKSP.ps1 ${PROJECT_SOURCE_DIR}/scripts/windows/acceptance.ps1
        DESTINATION . COMPONENT Runtime)

# Name, version and maker for scripts/package.sh, from this configuration.
set(ZK_SHIPPED_FILES ZentravaKSP.dll ZentravaKSPConfig.exe ZentravaSigningService.exe ZentravaKSPTool.exe)
string(REPLACE ";" " " ZK_SHIPPED_FILES "${ZK_SHIPPED_FILES}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/release.env.in ${PROJECT_BINARY_DIR}/release.env @ONLY)
