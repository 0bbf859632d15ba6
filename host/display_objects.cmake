# The host substitute's calibration display objects: the scripted one for the
# conformance tests and the window one for the host program.
add_library(okulon_host_displays STATIC
  ${CMAKE_CURRENT_LIST_DIR}/calibration_display_scripted.cpp
  ${CMAKE_CURRENT_LIST_DIR}/calibration_display_window.cpp)
target_include_directories(okulon_host_displays PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(okulon_host_displays PUBLIC eye_tracker_host_idl user32 gdi32)

# The host program and the tests that use the displays are defined after this
# fragment (the tests in another folder), so they are linked once the whole
# project is read. The calibration tests run against the simulated tracker
# through the stand-in tet.dll and ttime.dll, which must be built beside them.
function(okulon_link_host_displays)
  if(TARGET okulon_host)
    target_link_libraries(okulon_host PRIVATE okulon_host_displays)
  endif()
  foreach(test IN ITEMS calibrate_test send_command_test)
    if(TARGET ${test})
      target_link_libraries(${test} PRIVATE okulon_host_displays)
      if(TARGET simtracker_server AND TARGET tet AND TARGET ttime)
        target_link_libraries(${test} PRIVATE simtracker_server)
        add_dependencies(${test} tet ttime)
      endif()
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL okulon_link_host_displays)
