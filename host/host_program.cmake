add_executable(okulon_host ${CMAKE_CURRENT_LIST_DIR}/host_main.cpp)
target_link_libraries(okulon_host PRIVATE okulon_component)
