# Record queues: header-only templates, listed so that IDEs show them with the library.
target_sources(okulon_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/record_queue.h
  ${CMAKE_CURRENT_LIST_DIR}/queue_lock.h)
