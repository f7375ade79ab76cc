# What ships: `cmake --install <build> --prefix <dir>` lays out
#   bin/   the provider DLL and the three programs
#   docs/  the design and installation notes
#   Install-ZentravaKSP.ps1
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
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/tools/Install-ZentravaKSP.ps1 DESTINATION . COMPONENT Runtime)

# Name, version and maker for scripts/package.sh, from this configuration.
set(ZK_SHIPPED_FILES ZentravaKSP.dll ZentravaKSPConfig.exe ZentravaSigningService.exe ZentravaKSPTool.exe)
string(REPLACE ";" " " ZK_SHIPPED_FILES "${ZK_SHIPPED_FILES}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/release.env.in ${PROJECT_BINARY_DIR}/release.env @ONLY)
