# Simulated tracker: the raw path server -> TCP -> client decode, flat out,
# plus the gaze model and the frame decoder on their own. Native only.
if(NOT WIN32)
  add_executable(simtracker_bench ${CMAKE_CURRENT_LIST_DIR}/simtracker_bench.cpp)
  target_link_libraries(simtracker_bench PRIVATE simtracker_server simtracker_client benchmark::benchmark)
endif()
