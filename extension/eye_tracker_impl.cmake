if(WIN32)
  target_sources(okulon_component PRIVATE ${CMAKE_CURRENT_LIST_DIR}/eye_tracker_impl.cpp)
endif()
