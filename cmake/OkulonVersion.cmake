# One version for the whole project: project(VERSION) in the top CMakeLists.
# Every shipped binary carries it in a VERSIONINFO resource.

# Four numbers for the resource's fixed part; missing ones are 0.
foreach(part MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    set(okulon_version_${part} 0)
  else()
    set(okulon_version_${part} ${PROJECT_VERSION_${part}})
  endif()
endforeach()
set(OKULON_VERSION_COMMAS
    "${okulon_version_MAJOR},${okulon_version_MINOR},${okulon_version_PATCH},${okulon_version_TWEAK}")
set(OKULON_VERSION_TEXT
    "${okulon_version_MAJOR}.${okulon_version_MINOR}.${okulon_version_PATCH}.${okulon_version_TWEAK}")
set(OKULON_VERSION_COPYRIGHT "Copyright (C) 2026 the Okulon developers. MIT licence.")

# okulon_version_resource(<target> <file name> <description>): adds a
# VERSIONINFO resource to a Windows DLL or executable. The file type (VFT_DLL
# or VFT_APP) follows from the target's type.
# The same number is compiled in as OKULON_VERSION_TEXT, for --version.
function(okulon_version_resource target file_name description)
  target_compile_definitions(${target} PRIVATE OKULON_VERSION_TEXT="${OKULON_VERSION_TEXT}")
  if(NOT WIN32)
    return()
  endif()
  get_target_property(target_type ${target} TYPE)
  if(target_type STREQUAL "SHARED_LIBRARY" OR target_type STREQUAL "MODULE_LIBRARY")
    set(OKULON_VERSION_FILE_TYPE VFT_DLL)
  elseif(target_type STREQUAL "EXECUTABLE")
    set(OKULON_VERSION_FILE_TYPE VFT_APP)
  else()
    message(FATAL_ERROR "okulon_version_resource: ${target} is neither a DLL nor an executable")
  endif()
  set(OKULON_VERSION_FILE_NAME ${file_name})
  get_filename_component(OKULON_VERSION_INTERNAL_NAME ${file_name} NAME_WE)
  set(OKULON_VERSION_DESCRIPTION "${description}")
  set(rc_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/okulon_version.rc.in ${rc_file} @ONLY)
  target_sources(${target} PRIVATE ${rc_file})
endfunction()
