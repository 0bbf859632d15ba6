if(WIN32)
  target_sources(okulon_component PRIVATE ${CMAKE_CURRENT_LIST_DIR}/endpoint_settings.cpp)
endif()
