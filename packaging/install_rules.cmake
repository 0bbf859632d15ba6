# What the Windows package takes from one cross build (cmake --install
# <build> --component okulon): everything of one architecture in x86/ or x64/,
# the stand-in tracker libraries in a simulator/ subfolder (never beside
# Okulon.dll, where they would shadow the tracker vendor's libraries), and
# the files that both architectures share at the top. scripts/package.sh puts
# both builds together and zips them.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(okulon_package_folder x86)
else()
  set(okulon_package_folder x64)
endif()

install(TARGETS Okulon okulon_host okulon_check okulon_export
  RUNTIME DESTINATION ${okulon_package_folder} COMPONENT okulon
  ARCHIVE DESTINATION lib COMPONENT development EXCLUDE_FROM_ALL)
if(TARGET simtracker AND TARGET tet AND TARGET ttime)
  install(TARGETS simtracker
    RUNTIME DESTINATION ${okulon_package_folder} COMPONENT okulon)
  install(TARGETS tet ttime
    RUNTIME DESTINATION ${okulon_package_folder}/simulator COMPONENT okulon
    ARCHIVE DESTINATION lib COMPONENT development EXCLUDE_FROM_ALL)
endif()
# uninstall.cmd names the class it looks for: its GUID comes from the IDL.
configure_file(${PROJECT_SOURCE_DIR}/packaging/uninstall.cmd.in ${CMAKE_BINARY_DIR}/packaging/uninstall.cmd @ONLY)
install(FILES
    ${CMAKE_BINARY_DIR}/bin/EyeTrackerLib.tlb
    ${PROJECT_SOURCE_DIR}/packaging/install.cmd
    ${CMAKE_BINARY_DIR}/packaging/uninstall.cmd
    ${PROJECT_SOURCE_DIR}/docs/user-guide.md
    ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    ${PROJECT_SOURCE_DIR}/LICENSE.txt
  DESTINATION . COMPONENT okulon)
