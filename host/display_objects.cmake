# The host substitute's calibration display objects: the scripted one for the
# conformance tests and the window one for the host program.
add_library(okulon_host_displays STATIC
  ${CMAKE_CURRENT_LIST_DIR}/calibration_display_scripted.cpp
  ${CMAKE_CURRENT_LIST_DIR}/calibration_display_window.cpp)
target_include_directories(okulon_host_displays PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(okulon_host_displays PUBLIC eye_tracker_host_idl user32 gdi32)

