# Version resources generated from project(VERSION), so that every shipped
# binary, the MSI and the archive carry the one version.
if(PROJECT_VERSION_TWEAK STREQUAL "")
  set(ZK_VERSION_QUAD ${PROJECT_VERSION}.0)
else()
  set(ZK_VERSION_QUAD ${PROJECT_VERSION})
endif()
string(REPLACE "." "," ZK_VERSION_COMMAS ${ZK_VERSION_QUAD})

# zk_add_version_resource(<target> DESCRIPTION <text> [MANIFEST <file.in>])
# Adds a VERSIONINFO resource (and, when given, the configured application
# manifest) to <target>, with the file name taken from the target.
function(zk_add_version_resource target)
  cmake_parse_arguments(ARG "" "DESCRIPTION;MANIFEST" "" ${ARGN})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(ZK_RC_FILETYPE VFT_DLL)
    set(ZK_RC_FILENAME ${target}.dll)
  else()
    set(ZK_RC_FILETYPE VFT_APP)
    set(ZK_RC_FILENAME ${target}.exe)
  endif()
  set(ZK_RC_NAME ${target})
  set(ZK_RC_DESCRIPTION ${ARG_DESCRIPTION})
  set(ZK_RC_MANIFEST "")
  set(out ${PROJECT_BINARY_DIR}/version/${target})
  if(ARG_MANIFEST)
    configure_file(${ARG_MANIFEST} ${out}/${target}.manifest @ONLY)
    # 1 = CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 = RT_MANIFEST
    set(ZK_RC_MANIFEST "1 24 \"${out}/${target}.manifest\"")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${out}/version.rc @ONLY)
  target_sources(${target} PRIVATE ${out}/version.rc)
  if(ARG_MANIFEST)
    set_source_files_properties(${out}/version.rc TARGET_DIRECTORY ${target}
                                PROPERTIES OBJECT_DEPENDS ${out}/${target}.manifest)
  endif()
endfunction()
