add_executable(okulon_host ${CMAKE_CURRENT_LIST_DIR}/host_main.cpp ${CMAKE_CURRENT_LIST_DIR}/session_report.cpp)
target_link_libraries(okulon_host PRIVATE eye_tracker_host_idl okulon_component okulon_host_displays)
target_link_options(okulon_host PRIVATE -municode)
add_dependencies(okulon_host Okulon)
okulon_version_resource(okulon_host okulon_host.exe "Okulon host program: runs one session with the eye-tracker extension")

