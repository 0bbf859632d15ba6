# End-to-end tracking figures under Wine (simulator in-process, stand-in tet.dll).
if(WIN32 AND TARGET simtracker_server)
  add_executable(tracking_bench_win ${CMAKE_CURRENT_LIST_DIR}/tracking_bench_win.cpp)
  target_link_libraries(tracking_bench_win PRIVATE okulon_component simtracker_server)
  add_dependencies(tracking_bench_win tet ttime Okulon)
endif()
