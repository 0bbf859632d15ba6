# Record queues: a header-only template, listed so that IDEs show it with the library.
target_sources(okulon_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/record_queue.h ${CMAKE_CURRENT_LIST_DIR}/record_streams.cpp)
