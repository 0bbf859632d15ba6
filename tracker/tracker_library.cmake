if(WIN32)
  target_sources(okulon_component PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/tracker_library.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tracking_controller.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tracking_session.cpp)
endif()
