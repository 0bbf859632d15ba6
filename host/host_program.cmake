add_executable(okulon_host ${CMAKE_CURRENT_LIST_DIR}/host_main.cpp ${CMAKE_CURRENT_LIST_DIR}/session_report.cpp)
target_link_libraries(okulon_host PRIVATE eye_tracker_host_idl okulon_component okulon_host_displays)
target_link_options(okulon_host PRIVATE -municode)
add_dependencies(okulon_host Okulon)
okulon_version_resource(okulon_host okulon_host.exe "Okulon host program: runs one session with the eye-tracker extension")

# The check tool: registration, tracker libraries, tracker, sample rate, clock.
add_executable(okulon_check
  ${CMAKE_CURRENT_LIST_DIR}/check_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/component_registration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tracker_library_location.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tracker_probe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_version.cpp)
target_include_directories(okulon_check PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(okulon_check PRIVATE eye_tracker_host_idl ole32 oleaut32 uuid advapi32 version)
target_link_options(okulon_check PRIVATE -municode)
okulon_version_resource(okulon_check okulon_check.exe "Okulon check tool: tells whether the eye-tracker extension can be used")
