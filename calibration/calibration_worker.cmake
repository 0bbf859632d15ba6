# Calibrate (the host's side) and the session that runs on the worker thread.
if(WIN32)
  target_sources(okulon_component PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/calibration_run.cpp
    ${CMAKE_CURRENT_LIST_DIR}/calibration_session.cpp)
endif()
