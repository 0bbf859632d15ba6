# Module-pinned thread start, shared by the tracking and calibration workers.
if(WIN32)
  target_sources(okulon_component PRIVATE ${CMAKE_CURRENT_LIST_DIR}/worker_thread.cpp)
endif()
