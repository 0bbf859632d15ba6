# Gaze callback and record queue benchmarks: Google Benchmark natively, a
# QueryPerformanceCounter harness for the same figures under Wine.
if(NOT WIN32)
  find_package(Threads REQUIRED)
  add_executable(queue_bench ${CMAKE_CURRENT_LIST_DIR}/queue_bench.cpp)
  target_link_libraries(queue_bench PRIVATE okulon_core benchmark::benchmark Threads::Threads)
else()
  add_executable(queue_bench_win ${CMAKE_CURRENT_LIST_DIR}/queue_bench_win.cpp)
  target_link_libraries(queue_bench_win PRIVATE okulon_core)
endif()
